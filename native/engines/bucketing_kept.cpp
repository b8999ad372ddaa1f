// The kept bucketing snapshots and entry indexes: reused across calls while the dict watchers
// tell that nothing they were read from changed.
#include "engines/bucketing_parts.hpp"

#include "binding/cpython_private.hpp"
#include "binding/support.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
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

PyObject *dict_of(PyObject *record) {
    PyObject **slot = instance_dict_slot(record);
    return slot ? *slot : nullptr;
}

/// Watches the record's dict and every bin's; false when one cannot be watched.
bool watch_all(Snapshot &s) {
    s.dict = dict_of(s.bucketing);
    if (!watch(s.dict)) return false;
    s.bin_dicts.clear();
    s.bin_slots.clear();
    for (const Bin &b : s.bins) {
        PyObject **slot = instance_dict_slot(b.record.ptr());
        if (!slot || !watch(*slot)) return false;
        s.bin_slots.push_back(slot);
        s.bin_dicts.push_back(*slot);
    }
    s.epoch = watched_epoch;
    return true;
}

/// A watched snapshot still holds: no watched dict changed, the record and every bin still keep
/// their fields in the dicts watched, and the containers the dicts point to (the bin list, the
/// categories lists) hold the same items. Runs no Python code.
bool still_holds(const Snapshot &s) {
    if (s.epoch != watched_epoch || dict_of(s.bucketing) != s.dict) return false;
    PyObject *list = s.list.ptr();
    auto n = (Py_ssize_t) s.bins.size();
    if (PyList_GET_SIZE(list) != n) return false;
    const Classes &c = classes();
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Bin &b = s.bins[(std::size_t) i];
        PyObject *record = PyList_GET_ITEM(list, i);
        if (record != b.record.ptr()) return false;
        PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(record));
        if (type != (b.numerical ? c.numerical : c.categorical)) return false;
        // The bin's class is unchanged (just checked), so its dict is where it was.
        if (*s.bin_slots[(std::size_t) i] != s.bin_dicts[(std::size_t) i]) return false;
        if (!same_category_items(b)) return false;
    }
    return true;
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

/// The record of bin `index`, or else of the first fallback bin, or None.
nb::object record_or_fallback(const Snapshot &s, std::ptrdiff_t index) {
    if (index < 0) index = s.first_fallback;
    return index >= 0 ? s.bins[(std::size_t) index].record : nb::none();
}

}  // namespace

std::shared_ptr<const Snapshot> shared_quiet_snapshot(nb::handle bucketing) {
    KeptTable &t = kept_table();
    PyObject *record = bucketing.ptr();
    Kept *found = t.last_record == record ? t.last : nullptr;
    if (!found) {
        auto it = t.by_record.find(record);
        if (it != t.by_record.end()) {
            found = &it->second;
            t.last_record = record;
            t.last = found;
        }
    }
    if (found) {
        Kept &k = *found;
        if (k.snap && still_holds(*k.snap)) return k.snap;
        if (!k.snap && k.skips_left > 0) {
            --k.skips_left;
            return nullptr;
        }
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
        keep(record, Kept{nullptr, tie_to(record, &kept_record_end), kSkips});
        return nullptr;
    }
    if (watch_all(*s)) keep(record, Kept{s, tie_to(record, &kept_record_end), 0});
    return s;
}

nb::object numeric_kept(nb::handle bucketing, double v) {
    std::shared_ptr<const Snapshot> s = shared_quiet_snapshot(bucketing);
    PyObject *found = !s ? nullptr : std::isnan(v) ? null_plain(*s) : numeric_plain(*s, v);
    return found ? nb::borrow(found) : nb::object();  // taken before `s` may release the bins
}

nb::object categoric_kept(nb::handle bucketing, nb::handle value) {
    std::shared_ptr<const Snapshot> s = shared_quiet_snapshot(bucketing);
    PyObject *found = !s                           ? nullptr
                      : is_missing_category(value) ? null_plain(*s)
                                                   : categoric_plain(*s, value.ptr());
    return found ? nb::borrow(found) : nb::object();
}

nb::object watch_numeric_kept(nb::handle bucketing, double v) {
    std::shared_ptr<const Snapshot> s = shared_quiet_snapshot(bucketing);
    if (!s) return {};
    if (std::isnan(v)) return record_or_fallback(*s, s->first_null);
    if (!s->reserved_numerical_open) return {};
    std::ptrdiff_t k = numeric_index(*s, v);
    return k == -2 ? nb::object() : record_or_fallback(*s, k);
}

nb::object watch_categoric_kept(nb::handle bucketing, nb::handle value) {
    std::shared_ptr<const Snapshot> s = shared_quiet_snapshot(bucketing);
    if (!s) return {};
    if (is_missing_category(value)) return record_or_fallback(*s, s->first_null);
    if (!s->reserved_categorical_empty || !s->category_index.is_valid()) return {};
    // Exact str keys and value: the look-up runs no Python code and cannot fail.
    PyObject *position = dict_lookup(s->category_index.ptr(), value.ptr());
    return record_or_fallback(*s, position ? (std::ptrdiff_t) PyLong_AsSsize_t(position) : -1);
}

namespace {

/// An index of the entries of one owner's `binning` list by their exact str `attribute`.
struct EntryIndex {
    PyObject *owner = nullptr;  ///< compared only: the index goes when the owner ends
    nb::object tie;             ///< see `tie_to`
    PyObject *dict = nullptr;   ///< the owner's instance dict when read (watched)
    nb::object list;
    std::vector<nb::object> entries;
    std::vector<PyObject *> entry_dicts;  ///< watched
    /// Where the owner and each entry keep their dicts (fixed for an object's life: a `__class__`
    /// assignment keeps the layout).
    PyObject **slot = nullptr;
    std::vector<PyObject **> entry_slots;
    nb::object first, last;  ///< attribute -> entry
    std::uint64_t epoch = 0;
};

/// Reads the index without running Python code; false when that cannot be done.
bool read_entries(EntryIndex &x, nb::handle owner) {
    PyObject *list = Fields(owner).peek(field_names().binning);
    if (!list || !PyList_CheckExact(list)) return false;
    x.list = nb::borrow(list);
    x.slot = instance_dict_slot(owner.ptr());
    if (!x.slot) return false;
    x.dict = *x.slot;
    x.first = nb::steal(PyDict_New());
    x.last = nb::steal(PyDict_New());
    if (!x.first.is_valid() || !x.last.is_valid()) fail();
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject *entry = PyList_GET_ITEM(list, i);
        PyObject *attribute = Fields(entry).peek(field_names().attribute);
        if (!attribute || !PyUnicode_CheckExact(attribute)) return false;
        // Exact str keys: these dict operations run no Python code.
        PyObject *kept = PyDict_SetDefault(x.first.ptr(), attribute, entry);
        if (!kept || PyDict_SetItem(x.last.ptr(), attribute, entry) < 0) fail();
        PyObject **slot = instance_dict_slot(entry);
        if (!slot) return false;
        x.entries.push_back(nb::borrow(entry));
        x.entry_slots.push_back(slot);
        x.entry_dicts.push_back(*slot);
    }
    if (!watch(x.dict)) return false;
    for (PyObject *d : x.entry_dicts)
        if (!watch(d)) return false;
    x.epoch = watched_epoch;
    return true;
}

bool entries_hold(const EntryIndex &x) {
    if (x.epoch != watched_epoch || *x.slot != x.dict) return false;
    PyObject *list = x.list.ptr();
    auto n = (Py_ssize_t) x.entries.size();
    if (PyList_GET_SIZE(list) != n) return false;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *entry = PyList_GET_ITEM(list, i);
        if (entry != x.entries[(std::size_t) i].ptr() ||
            *x.entry_slots[(std::size_t) i] != x.entry_dicts[(std::size_t) i])
            return false;
    }
    return true;
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
    std::shared_ptr<const EntryIndex> x = entry_indexes()[slot];
    if (!x || x->owner != owner.ptr() || !entries_hold(*x)) {
        // Released before anything is read: that may run Python code (finalizers).
        x.reset();
        std::shared_ptr<const EntryIndex> old = std::move(entry_indexes()[slot]);
        old.reset();
        auto fresh = std::make_shared<EntryIndex>();
        fresh->owner = owner.ptr();
        if (!read_entries(*fresh, owner)) return {};
        fresh->tie = tie_to(owner.ptr(), &index_owner_end);
        // One put there meanwhile stays: replacing it would release it, running code again.
        if (!entry_indexes()[slot]) entry_indexes()[slot] = fresh;
        x = std::move(fresh);
    }
    // Exact str key and keys: the look-up runs no Python code.
    PyObject *found = dict_lookup((last ? x->last : x->first).ptr(), attribute.ptr());
    return found ? nb::borrow(found) : nb::none();
}

}  // namespace qv::bucketing
