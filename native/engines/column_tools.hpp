// Tools shared by the column bucketing and the column dummy encoding: a text look-up table,
// the count and examples of aggregated log events, numpy output arrays.
#pragma once

#include "engines/columns.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace qv::columns {

/// UTF-8 text -> a number, open addressing; built under the GIL, read without it.
class TextIndex {
public:
    /// Adds `text` unless present (the first addition wins).
    void add(std::string_view text, std::uint32_t value);
    /// The value of `text`, or `missing`.
    std::uint32_t find(const char *text, std::size_t size, std::uint32_t missing) const {
        if (slots_.empty()) return missing;
        std::uint64_t h = hash(text, size);
        std::size_t mask = slots_.size() - 1;
        for (std::size_t at = (std::size_t) h & mask;; at = (at + 1) & mask) {
            const Slot &s = slots_[at];
            if (s.size == kEmpty) return missing;
            if (s.hash == h && s.size == size && same_bytes(arena_.data() + s.offset, text, size))
                return s.value;
        }
    }
    std::size_t size() const { return count_; }

    static std::uint64_t hash(const char *text, std::size_t size) {
        std::uint64_t h = 0x9E3779B97F4A7C15ull ^ size;
        std::size_t i = 0;
        for (; i + 8 <= size; i += 8) {
            h = (h ^ load8(text + i)) * 0xFF51AFD7ED558CCDull;
            h ^= h >> 32;
        }
        h ^= tail(text + i, size - i);
        // Every input bit reaches the low bits the table indexes by (murmur3's finaliser).
        h = (h ^ (h >> 33)) * 0xFF51AFD7ED558CCDull;
        h = (h ^ (h >> 33)) * 0xC4CEB9FE1A85EC53ull;
        return h ^ (h >> 33);
    }

private:
    static std::uint64_t load8(const char *p) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);  // a fixed size: one load, no call
        return w;
    }
    static std::uint32_t load4(const char *p) {
        std::uint32_t w;
        std::memcpy(&w, p, 4);
        return w;
    }
    /// The last n < 8 bytes folded into a word with fixed-size (overlapping) loads only.
    static std::uint64_t tail(const char *p, std::size_t n) {
        if (n >= 4) return load4(p) | (std::uint64_t) load4(p + n - 4) << 32;
        if (n == 0) return 0;
        return (std::uint8_t) p[0] | (std::uint64_t) (std::uint8_t) p[n / 2] << 8 |
               (std::uint64_t) (std::uint8_t) p[n - 1] << 16;
    }
    /// Equal bytes; texts are short, so without a call into the C library.
    static bool same_bytes(const char *a, const char *b, std::size_t n) {
        if (n >= 8) {
            for (std::size_t i = 0; i + 8 <= n; i += 8)
                if (load8(a + i) != load8(b + i)) return false;
            return load8(a + n - 8) == load8(b + n - 8);
        }
        if (n >= 4) return load4(a) == load4(b) && load4(a + n - 4) == load4(b + n - 4);
        for (std::size_t i = 0; i < n; ++i)
            if (a[i] != b[i]) return false;
        return true;
    }

    static constexpr std::size_t kEmpty = ~std::size_t(0);
    struct Slot {
        std::uint64_t hash = 0;
        std::size_t offset = 0;
        std::size_t size = kEmpty;
        std::uint32_t value = 0;
    };
    void grow();

    std::vector<Slot> slots_;
    std::string arena_;
    std::size_t count_ = 0;
};

/// How many values an aggregated event covers, and up to five distinct examples of them: numbers
/// (written as Python writes a float) or UTF-8 texts. Filled without the GIL.
struct Tally {
    static constexpr std::size_t kExamples = 5;
    std::size_t count = 0;
    std::vector<double> numbers;
    std::vector<std::string> texts;

    void number(double v) {
        ++count;
        if (numbers.size() + texts.size() >= kExamples) return;
        for (double seen : numbers)
            if (same_number(seen, v)) return;
        numbers.push_back(v);
    }
    void text(std::string_view t) {
        ++count;
        if (numbers.size() + texts.size() >= kExamples) return;
        for (const std::string &seen : texts)
            if (seen == t) return;
        texts.emplace_back(t);
    }
    /// One more value with the example of `one` (a tally of a single kind of value).
    void again(const Tally &one) {
        if (!one.numbers.empty()) return number(one.numbers.front());
        if (!one.texts.empty()) return text(one.texts.front());
        ++count;
    }
    /// ", "-joined examples in single quotes, as Python writes them.
    nb::object examples() const;

private:
    static bool same_number(double a, double b) {
        if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
        return a == b && std::signbit(a) == std::signbit(b);
    }
};

/// A tally for `str(value)` of a Python value: numbers for floats, texts otherwise.
void tally_value(Tally &tally, nb::handle value);

/// A new numpy array of `n` elements of `dtype` ("float64", "uint8") and its data.
nb::object new_array(const char *dtype, std::size_t n, void *&data);

/// UTF-8 of a str, lone surrogates kept as their three bytes (never fails for a str).
std::string utf8_of(nb::handle text);

}  // namespace qv::columns
