// The kept bucketing snapshots and entry indexes: reused across calls while the dict watchers
// tell that nothing they were read from changed.
#include "engines/bucketing_parts.hpp"

#include "binding/cpython_private.hpp"
#include "binding/support.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

namespace qv::bucketing {

namespace {

/// Bumped by every change to a watched dict (and by its end): a shared snapshot taken at another
/// count may be stale.
std::uint64_t watched_epoch = 0;

int on_watched_dict(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) {
    ++watched_epoch;
    return 0;
}

/// Watches `dict`; false when no watcher can be had (an interpreter allows only a few).
bool watch(PyObject *dict) {
    static int watcher = -1;  // -2: none to be had
    if (watcher == -1) {
        watcher = PyDict_AddWatcher(on_watched_dict);
        if (watcher < 0) {
            PyErr_Clear();
            watcher = -2;
        }
    }
    if (watcher < 0 || !dict) return false;
    if (PyDict_Watch(watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

/// What a kept reading rests on, compared by identity in one pass over flat arrays: the words at
/// fixed places (the owner's dict slot; each bin's class and dict slot, or each entry's dict slot)
/// and the items of lists (the bin list, the categories lists). Every place and list lies in an
/// object the reading holds alive, or in its owner, which the entry never outlives. Together with
/// the epoch of the watched dicts this proves that nothing the reading was made of changed.
class Guard {
public:
    /// Expects `*place` to keep holding what it holds now.
    template <typename T>
    void fix(T *const *place) {
        const void *at = static_cast<const void *>(place);
        places_.push_back(Place{at, word(at)});
    }
    /// Expects the list to keep holding its items.
    void fix_items(PyObject *list) {
        PyObject **now = items_of(list);
        lists_.push_back(Items{list, PyList_GET_SIZE(list), items_.size()});
        items_.insert(items_.end(), now, now + PyList_GET_SIZE(list));
    }
    /// Watches every dict in a fixed place, marks the epoch; false when one cannot be watched.
    bool watch_dicts(const std::vector<PyObject *> &dicts) {
        for (PyObject *d : dicts)
            if (!watch(d)) return false;
        epoch_ = watched_epoch;
        return true;
    }

    /// No watched dict changed, every place holds what it held, and so do the first `lists` lists
    /// fixed (all of them by default). Runs no Python code.
    bool holds(std::size_t lists = SIZE_MAX) const {
        if (epoch_ != watched_epoch) return false;
        for (const Place &p : places_)
            if (word(p.at) != p.expected) return false;
        return lists_hold(0, lists);
    }
    /// The lists fixed from the `from`th up to (not including) the `to`th hold their items.
    bool lists_hold(std::size_t from, std::size_t to) const {
        to = std::min(to, lists_.size());
        for (std::size_t i = from; i < to; ++i) {
            const Items &l = lists_[i];
            if (PyList_GET_SIZE(l.list) != l.size) return false;
            PyObject *const *now = items_of(l.list);
            PyObject *const *expected = items_.data() + l.first;
            for (Py_ssize_t k = 0; k < l.size; ++k)
                if (now[k] != expected[k]) return false;
        }
        return true;
    }
    std::size_t lists() const { return lists_.size(); }

private:
    struct Place {
        const void *at;
        std::uintptr_t expected;
    };
    struct Items {
        PyObject *list;
        Py_ssize_t size;
        std::size_t first;  ///< into `items_`
    };
    /// The items of an exact list (valid for its current size).
    static PyObject **items_of(PyObject *list) {
        return reinterpret_cast<PyListObject *>(list)->ob_item;
    }
    static std::uintptr_t word(const void *place) {
        std::uintptr_t w;  // the pointer stored there, read as a word
        std::memcpy(&w, place, sizeof w);
        return w;
    }
    std::uint64_t epoch_ = 0;
    std::vector<Place> places_;
    std::vector<Items> lists_;
    std::vector<PyObject *> items_;  ///< of every list, in order
};

/// The guard of a quiet snapshot, its bin list fixed first, then each categories list the category
/// index was made of; `lists_through[i]` counts the lists up to bin `i`'s. False when a dict cannot
/// be watched.
bool guard_snapshot(const Snapshot &s, Guard &g, std::vector<std::size_t> &lists_through) {
    std::vector<PyObject *> dicts;
    PyObject **slot = instance_dict_slot(s.bucketing);
    if (!slot) return false;
    g.fix(slot);
    dicts.push_back(*slot);
    g.fix_items(s.list.ptr());
    for (const Bin &b : s.bins) {
        PyObject *record = b.record.ptr();
        // A `__class__` assignment keeps the layout: the dict stays in the same place.
        g.fix(&record->ob_type);
        PyObject **bin_slot = instance_dict_slot(record);
        if (!bin_slot) return false;
        g.fix(bin_slot);
        dicts.push_back(*bin_slot);
        if (b.category_items.is_valid()) g.fix_items(b.categories.ptr());
        lists_through.push_back(g.lists());
    }
    return g.watch_dicts(dicts);
}

/// What ties a kept entry to its object: a weak reference whose callback, `on_end` bound to the
/// object's address, takes the entry out while the object ends (before its address can be reused
/// by another). An object without weak references is held itself, so that no other object takes
/// its address while its entry is kept.
nb::object tie_to(PyObject *object, PyMethodDef *on_end) {
    if (!PyType_SUPPORTS_WEAKREFS(Py_TYPE(object))) return nb::borrow(object);
    nb::object address = check(PyLong_FromVoidPtr(object));
    nb::object callback = check(PyCFunction_New(on_end, address.ptr()));
    return check(PyWeakref_NewRef(object, callback.ptr()));
}

/// A record's entry among the kept snapshots. Without a snapshot (the record could not be read
/// quietly) the entry only spares the next few calls a reading that would fail again.
struct Kept {
    std::shared_ptr<const Snapshot> snap;
    Guard guard;  ///< of `snap`
    /// Per bin: the guard's lists a category answer of that bin rests on (the bin list and the
    /// categories lists of that bin and of those before it).
    std::vector<std::size_t> lists_through;
    nb::object tie;           ///< see `tie_to`
    unsigned skips_left = 0;  ///< entries without a snapshot: calls left before reading again
};

/// Kept snapshots by record, dropped oldest first beyond `kKept`: a scorer applies one record per
/// attribute in turn, and each must find its own snapshot again on the next row.
constexpr std::size_t kKept = 256;
constexpr unsigned kSkips = 32;

struct KeptTable {
    std::unordered_map<PyObject *, Kept> by_record;
    std::deque<PyObject *> order;  ///< insertion order; may name records dropped since
    /// The entry found last (a map's entries stay in place until erased; `take` clears this).
    PyObject *last_record = nullptr;
    Kept *last = nullptr;
};
/// Never destroyed at exit (its objects would outlive the interpreter).
KeptTable &kept_table() {
    static KeptTable *table = new KeptTable;
    return *table;
}

/// Takes the entry of `record` out of the table (empty when there is none). Its objects are
/// released by the caller once nothing refers into the table: that may run Python code.
Kept take(KeptTable &t, PyObject *record) {
    if (t.last_record == record) t.last_record = nullptr, t.last = nullptr;
    auto it = t.by_record.find(record);
    if (it == t.by_record.end()) return {};
    Kept entry = std::move(it->second);
    t.by_record.erase(it);
    return entry;
}

/// Makes room for one more entry, oldest first; the dropped entries go to `dropped`.
void make_room(KeptTable &t, std::vector<Kept> &dropped) {
    while (t.by_record.size() >= kKept && !t.order.empty()) {
        PyObject *oldest = t.order.front();
        t.order.pop_front();
        if (Kept k = take(t, oldest); k.tie.is_valid()) dropped.push_back(std::move(k));
    }
    // Records taken out and put back leave names of their old places behind.
    if (t.order.size() > 4 * kKept) {
        std::deque<PyObject *> live;
        for (PyObject *r : t.order)
            if (t.by_record.count(r) && std::find(live.begin(), live.end(), r) == live.end())
                live.push_back(r);
        t.order = std::move(live);
    }
}

/// The weak reference callback of a kept record (bound to the record's address): its entry goes
/// while the record ends. Its objects are released once the table is without it: that may run
/// Python code, which finds the table consistent.
PyObject *kept_record_ended(PyObject *address, PyObject *ref) {
    KeptTable &t = kept_table();
    auto *record = static_cast<PyObject *>(PyLong_AsVoidPtr(address));
    auto it = t.by_record.find(record);
    if (it != t.by_record.end() && it->second.tie.ptr() == ref) {
        Kept gone = take(t, record);
    }
    Py_RETURN_NONE;
}

PyMethodDef kept_record_end{"kept_record_ended", kept_record_ended, METH_O, nullptr};

void keep(PyObject *record, Kept entry) {  // NOLINT(performance-unnecessary-value-param): moved in
    KeptTable &t = kept_table();
    // An entry put back meanwhile (by code that releasing old entries ran) stays: replacing it
    // would release it, and that could run code changing the record just read.
    auto [it, added] = t.by_record.try_emplace(record, std::move(entry));
    if (added) t.order.push_back(record);
}

/// The record's kept entry (cached for the next call), nullptr when it has none.
Kept *find_kept(KeptTable &t, PyObject *record) {
    if (t.last_record == record) return t.last;
    auto it = t.by_record.find(record);
    if (it == t.by_record.end()) return nullptr;
    t.last_record = record;
    t.last = &it->second;
    return t.last;
}

/// The record's kept entry while its snapshot provably holds for every answer that rests on no
/// categories list (those are checked by `lists_hold` for the answer given); nullptr otherwise.
/// Borrowed from the table: valid until Python code runs.
const Kept *kept_base(PyObject *record) {
    Kept *k = find_kept(kept_table(), record);
    return k && k->snap && k->guard.holds(1) ? k : nullptr;
}

/// The categories lists a category answer rests on still hold: those through bin `index`, or all
/// of them when no bin has the value (-1).
bool lists_hold(const Kept &k, std::ptrdiff_t index) {
    return k.guard.lists_hold(1,
                              index < 0 ? k.guard.lists() : k.lists_through[(std::size_t) index]);
}

/// The quiet snapshot read again (and kept when it can be watched), once the kept one no longer
/// holds.
std::shared_ptr<const Snapshot> read_again(nb::handle bucketing) {
    KeptTable &t = kept_table();
    PyObject *record = bucketing.ptr();
    if (Kept *k = find_kept(t, record); k && !k->snap && k->skips_left > 0) {
        --k->skips_left;
        return nullptr;
    }
    {
        // Dropped before anything is read: releasing old bins may run Python code (finalizers),
        // which may change this very record or call back in here.
        std::vector<Kept> dropped;
        if (Kept stale = take(t, record); stale.tie.is_valid()) dropped.push_back(std::move(stale));
        make_room(t, dropped);
    }
    auto s = std::make_shared<Snapshot>(quiet_snapshot(bucketing));
    if (!s->quiet) {
        keep(record, Kept{nullptr, Guard{}, {}, tie_to(record, &kept_record_end), kSkips});
        return nullptr;
    }
    Guard g;
    if (std::vector<std::size_t> through; guard_snapshot(*s, g, through))
        keep(record,
             Kept{s, std::move(g), std::move(through), tie_to(record, &kept_record_end), 0});
    return s;
}

}  // namespace

std::shared_ptr<const Snapshot> shared_quiet_snapshot(nb::handle bucketing) {
    Kept *k = find_kept(kept_table(), bucketing.ptr());
    if (k && k->snap && k->guard.holds()) return k->snap;
    return read_again(bucketing);
}

namespace {

PyObject *numeric_answer(const Snapshot &s, double v) {
    return std::isnan(v) ? null_plain(s) : numeric_plain(s, v);
}

/// The bin index of a category answer (-1: no bin has the value), -2 when there is no index.
std::ptrdiff_t category_bin(const Snapshot &s, nb::handle value) {
    if (!s.category_index.is_valid()) return -2;
    // Exact str keys and value: the look-up runs no Python code and cannot fail.
    PyObject *position = dict_lookup(s.category_index.ptr(), value.ptr());
    return position ? (std::ptrdiff_t) PyLong_AsSsize_t(position) : -1;
}

/// The record of bin `index`, or else of the first fallback bin, or None.
nb::object record_or_fallback(const Snapshot &s, std::ptrdiff_t index) {
    if (index < 0) index = s.first_fallback;
    return index >= 0 ? s.bins[(std::size_t) index].record : nb::none();
}

nb::object borrowed(PyObject *found) { return found ? nb::borrow(found) : nb::object(); }

/// The watch's categorical answer from `s` (`index` of the value's bin as `category_bin` gives it),
/// empty when the scan is needed.
nb::object watch_category(const Snapshot &s, std::ptrdiff_t index) {
    if (!s.reserved_categorical_empty || index == -2) return {};
    return record_or_fallback(s, index);
}

}  // namespace

nb::object numeric_kept(nb::handle bucketing, double v) {
    if (const Kept *k = kept_base(bucketing.ptr())) return borrowed(numeric_answer(*k->snap, v));
    std::shared_ptr<const Snapshot> s = read_again(bucketing);
    return borrowed(s ? numeric_answer(*s, v) : nullptr);  // taken before `s` may release the bins
}

nb::object categoric_kept(nb::handle bucketing, nb::handle value) {
    bool missing = is_missing_category(value);
    if (const Kept *k = kept_base(bucketing.ptr())) {
        const Snapshot &s = *k->snap;
        if (missing) return borrowed(null_plain(s));
        std::ptrdiff_t index = category_bin(s, value);
        if (index < 0) return {};  // the scan answers (and logs a fallback)
        if (lists_hold(*k, index)) return borrowed(plain_value(s.bins[(std::size_t) index].value));
    }
    std::shared_ptr<const Snapshot> s = read_again(bucketing);
    if (!s) return {};
    return borrowed(missing ? null_plain(*s) : categoric_plain(*s, value.ptr()));
}

nb::object watch_numeric_kept(nb::handle bucketing, double v) {
    std::shared_ptr<const Snapshot> fresh;
    const Snapshot *s = nullptr;
    if (const Kept *k = kept_base(bucketing.ptr())) {
        s = k->snap.get();
    } else {
        fresh = read_again(bucketing);
        s = fresh.get();
    }
    if (!s) return {};
    if (std::isnan(v)) return record_or_fallback(*s, s->first_null);
    if (!s->reserved_numerical_open) return {};
    std::ptrdiff_t k = numeric_index(*s, v);
    return k == -2 ? nb::object() : record_or_fallback(*s, k);
}

nb::object watch_categoric_kept(nb::handle bucketing, nb::handle value) {
    bool missing = is_missing_category(value);
    if (const Kept *k = kept_base(bucketing.ptr())) {
        const Snapshot &s = *k->snap;
        if (missing) return record_or_fallback(s, s.first_null);
        std::ptrdiff_t index = category_bin(s, value);
        if (index == -2 || lists_hold(*k, index)) return watch_category(s, index);
    }
    std::shared_ptr<const Snapshot> s = read_again(bucketing);
    if (!s) return {};
    if (missing) return record_or_fallback(*s, s->first_null);
    return watch_category(*s, category_bin(*s, value));
}

namespace {

/// An index of the entries of one owner's `binning` list by their exact str `attribute`.
struct EntryIndex {
    PyObject *owner = nullptr;  ///< compared only: the index goes when the owner ends
    nb::object tie;             ///< see `tie_to`
    nb::object list;
    std::vector<nb::object> entries;
    nb::object first, last;  ///< attribute -> entry
    /// The owner's dict slot and each entry's, and the list's items.
    Guard guard;
    /// The attribute asked last (held: no other str takes its address) and its two entries
    /// (borrowed from the dicts above; nullptr for none): callers ask for one attribute in a row.
    mutable nb::object asked;
    mutable PyObject *asked_first = nullptr, *asked_last = nullptr;
};

/// Reads the index without running Python code; false when that cannot be done.
bool read_entries(EntryIndex &x, nb::handle owner) {
    PyObject *list = Fields(owner).peek_quietly(field_names().binning);
    if (!list || !PyList_CheckExact(list)) return false;
    x.list = nb::borrow(list);
    PyObject **slot = instance_dict_slot(owner.ptr());
    if (!slot) return false;
    std::vector<PyObject *> dicts{*slot};
    x.guard.fix(slot);
    x.guard.fix_items(list);
    x.first = nb::steal(PyDict_New());
    x.last = nb::steal(PyDict_New());
    if (!x.first.is_valid() || !x.last.is_valid()) fail();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject *entry = PyList_GET_ITEM(list, i);
        PyObject *attribute = Fields(entry).peek_quietly(field_names().attribute);
        if (!attribute || !PyUnicode_CheckExact(attribute)) return false;
        // Exact str keys: these dict operations run no Python code.
        PyObject *kept = PyDict_SetDefault(x.first.ptr(), attribute, entry);
        if (!kept || PyDict_SetItem(x.last.ptr(), attribute, entry) < 0) fail();
        PyObject **entry_slot = instance_dict_slot(entry);
        if (!entry_slot) return false;
        x.entries.push_back(nb::borrow(entry));
        x.guard.fix(entry_slot);
        dicts.push_back(*entry_slot);
    }
    return x.guard.watch_dicts(dicts);
}

constexpr std::size_t kIndexes = 8;
/// The kept indexes; never destroyed at exit (their objects would outlive the interpreter).
std::shared_ptr<const EntryIndex> *entry_indexes() {
    static auto *indexes = new std::shared_ptr<const EntryIndex>[kIndexes];
    return indexes;
}

std::size_t index_slot(PyObject *owner) {
    return (reinterpret_cast<std::uintptr_t>(owner) >> 4) % kIndexes;
}

/// The weak reference callback of an index's owner (bound to the owner's address): the index goes
/// while the owner ends, released once its slot is empty.
PyObject *index_owner_ended(PyObject *address, PyObject *ref) {
    std::shared_ptr<const EntryIndex> &x =
        entry_indexes()[index_slot(static_cast<PyObject *>(PyLong_AsVoidPtr(address)))];
    if (x && x->tie.ptr() == ref) {
        std::shared_ptr<const EntryIndex> gone = std::move(x);
    }
    Py_RETURN_NONE;
}

PyMethodDef index_owner_end{"index_owner_ended", index_owner_ended, METH_O, nullptr};

}  // namespace

nb::object kept_entry(nb::handle owner, nb::handle attribute, bool last) {
    if (!PyUnicode_CheckExact(attribute.ptr())) return {};
    std::size_t slot = index_slot(owner.ptr());
    const EntryIndex *x = entry_indexes()[slot].get();
    std::shared_ptr<const EntryIndex> fresh;  // holds an index read now
    if (!x || x->owner != owner.ptr() || !x->guard.holds()) {
        // Released before anything is read: that may run Python code (finalizers).
        std::shared_ptr<const EntryIndex> old = std::move(entry_indexes()[slot]);
        old.reset();
        auto index = std::make_shared<EntryIndex>();
        index->owner = owner.ptr();
        if (!read_entries(*index, owner)) return {};
        index->tie = tie_to(owner.ptr(), &index_owner_end);
        // One put there meanwhile stays: replacing it would release it, running code again.
        if (!entry_indexes()[slot]) entry_indexes()[slot] = index;
        fresh = std::move(index);
        x = fresh.get();
    }
    if (attribute.ptr() != x->asked.ptr()) {
        // Exact str key and keys: the look-ups run no Python code (and releasing the str asked
        // before runs none either).
        PyObject *first = dict_lookup(x->first.ptr(), attribute.ptr());
        PyObject *last_one = dict_lookup(x->last.ptr(), attribute.ptr());
        x->asked = nb::borrow(attribute);
        x->asked_first = first;
        x->asked_last = last_one;
    }
    PyObject *found = last ? x->asked_last : x->asked_first;
    return found ? nb::borrow(found) : nb::none();
}

}  // namespace qv::bucketing
