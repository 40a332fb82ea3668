// Bounds-checked access to packet octets. Every read or write of RADIUS octets in the codec goes
// through OctetReader or OctetWriter, so that an overrun is a reported failure in one place
// instead of a hand-indexed buffer somewhere.
//
// Both keep a cursor over a std::span and a sticky failure flag: an operation that does not fit
// in the remaining room touches nothing, answers false and marks the object failed; every later
// operation then fails too, so a sequence of calls can be checked once at the end with ok().
#ifndef QUELNA_CODEC_OCTETS_H
#define QUELNA_CODEC_OCTETS_H

#include <quelna/codec.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace quelna::codec {

/** Reads big-endian numbers and octet runs from a constant buffer. */
class OctetReader {
  public:
    constexpr OctetReader() = default;
    constexpr explicit OctetReader(std::span<const uint8_t> buf) : buf_(buf) {}
    OctetReader(const uint8_t *data, size_t len) : buf_(data, data ? len : 0) {}

    /** Octets consumed so far. */
    constexpr size_t position() const { return pos_; }
    /** Octets left after the cursor (0 once failed). */
    constexpr size_t remaining() const { return ok_ ? buf_.size() - pos_ : 0; }
    /** False once any operation did not fit. */
    constexpr bool ok() const { return ok_; }
    constexpr bool empty() const { return remaining() == 0; }
    /** The whole underlying buffer. */
    constexpr std::span<const uint8_t> buffer() const { return buf_; }
    /** The octets not yet consumed. */
    constexpr std::span<const uint8_t> rest() const {
        return ok_ ? buf_.subspan(pos_) : std::span<const uint8_t>{};
    }

    constexpr bool u8(uint8_t &out) {
        if (!need(1)) return false;
        out = buf_[pos_++];
        return true;
    }
    constexpr bool u16be(uint16_t &out) {
        if (!need(2)) return false;
        out = static_cast<uint16_t>(buf_[pos_] << 8 | buf_[pos_ + 1]);
        pos_ += 2;
        return true;
    }
    /** Three octets, network order (the low 24 bits of a 4-octet vendor type field). */
    constexpr bool u24be(uint32_t &out) {
        if (!need(3)) return false;
        out = uint32_t{buf_[pos_]} << 16 | uint32_t{buf_[pos_ + 1]} << 8 | buf_[pos_ + 2];
        pos_ += 3;
        return true;
    }
    constexpr bool u32be(uint32_t &out) {
        if (!need(4)) return false;
        out = uint32_t{buf_[pos_]} << 24 | uint32_t{buf_[pos_ + 1]} << 16 |
              uint32_t{buf_[pos_ + 2]} << 8 | buf_[pos_ + 3];
        pos_ += 4;
        return true;
    }
    /** Copies out.size() octets. */
    bool bytes(std::span<uint8_t> out) {
        if (!need(out.size())) return false;
        if (!out.empty()) std::memcpy(out.data(), buf_.data() + pos_, out.size());
        pos_ += out.size();
        return true;
    }
    /** A view of the next n octets, consumed; an empty view and failure when they are not all there. */
    constexpr std::span<const uint8_t> take(size_t n) {
        if (!need(n)) return {};
        auto s = buf_.subspan(pos_, n);
        pos_ += n;
        return s;
    }
    constexpr bool skip(size_t n) {
        if (!need(n)) return false;
        pos_ += n;
        return true;
    }
    /** The octet at offset off after the cursor, without consuming; false when out of range. */
    constexpr bool peek(size_t off, uint8_t &out) const {
        if (!ok_ || off >= buf_.size() - pos_) return false;
        out = buf_[pos_ + off];
        return true;
    }

  private:
    constexpr bool need(size_t n) {
        if (ok_ && n <= buf_.size() - pos_) return true;
        ok_ = false;
        return false;
    }

    std::span<const uint8_t> buf_{};
    size_t pos_ = 0;
    bool ok_ = true;
};

/**
 * Reads the header of a vendor's sub-attribute in the vendor's format: t type octets (1, 2, or
 * 4 whose first octet is zero and skipped) and l length octets (1; 2 whose first is skipped;
 * 0: the sub-attribute runs for `rest` octets). False for any other format; a short read shows
 * in r.ok().
 */
constexpr bool read_vendor_header(OctetReader &r, size_t t, size_t l, size_t rest,
                                  uint32_t &attr, size_t &len) {
    uint8_t octet = 0;
    uint16_t word = 0;
    switch (t) {
        case 1: r.u8(octet), attr = octet; break;
        case 2: r.u16be(word), attr = word; break;
        case 4: r.skip(1), r.u24be(attr); break;
        default: return false;
    }
    switch (l) {
        case 0: len = rest; break;
        case 1: r.u8(octet), len = octet; break;
        case 2: r.skip(1), r.u8(octet), len = octet; break;
        default: return false;
    }
    return true;
}

/**
 * Calls fn(attr, value) for each sub-attribute, in order, of a vendor's run in format (t, l):
 * RFC 2865 §5.26 lets one Vendor-Specific attribute carry several. Answers the first non-zero
 * result of fn, 0 once the run is done, or -QNE_INTERNAL for a run lr_tlv_ok would refuse.
 */
template <typename Fn>
int for_each_vendor_sub(std::span<const uint8_t> run, size_t t, size_t l, Fn &&fn)
{
    OctetReader r(run);
    while (!r.empty()) {
        OctetReader sub(r.rest());
        uint32_t attr = 0;
        size_t len = 0;
        if (!read_vendor_header(sub, t, l, r.remaining(), attr, len) || !sub.ok() ||
            len < t + l || !r.skip(len)) {
            return -QNE_INTERNAL;
        }
        const int rc = fn(attr, sub.take(len - t - l));
        if (rc != 0)
            return rc;
    }
    return 0;
}

/** Writes big-endian numbers and octet runs into a buffer of fixed room. */
class OctetWriter {
  public:
    constexpr OctetWriter() = default;
    constexpr explicit OctetWriter(std::span<uint8_t> buf) : buf_(buf) {}
    OctetWriter(uint8_t *data, size_t len) : buf_(data, data ? len : 0) {}

    /** Octets written so far. */
    constexpr size_t position() const { return pos_; }
    /** Room left after the cursor (0 once failed). */
    constexpr size_t remaining() const { return ok_ ? buf_.size() - pos_ : 0; }
    constexpr bool ok() const { return ok_; }
    /** The octets written so far. */
    constexpr std::span<uint8_t> written() const { return buf_.first(pos_); }
    constexpr std::span<uint8_t> buffer() const { return buf_; }

    constexpr bool u8(uint8_t v) {
        if (!need(1)) return false;
        buf_[pos_++] = v;
        return true;
    }
    constexpr bool u16be(uint16_t v) {
        if (!need(2)) return false;
        buf_[pos_] = static_cast<uint8_t>(v >> 8);
        buf_[pos_ + 1] = static_cast<uint8_t>(v);
        pos_ += 2;
        return true;
    }
    /** The low 24 bits of v, network order. */
    constexpr bool u24be(uint32_t v) {
        if (!need(3)) return false;
        buf_[pos_] = static_cast<uint8_t>(v >> 16);
        buf_[pos_ + 1] = static_cast<uint8_t>(v >> 8);
        buf_[pos_ + 2] = static_cast<uint8_t>(v);
        pos_ += 3;
        return true;
    }
    constexpr bool u32be(uint32_t v) {
        if (!need(4)) return false;
        buf_[pos_] = static_cast<uint8_t>(v >> 24);
        buf_[pos_ + 1] = static_cast<uint8_t>(v >> 16);
        buf_[pos_ + 2] = static_cast<uint8_t>(v >> 8);
        buf_[pos_ + 3] = static_cast<uint8_t>(v);
        pos_ += 4;
        return true;
    }
    bool bytes(std::span<const uint8_t> in) {
        if (!need(in.size())) return false;
        if (!in.empty()) std::memmove(buf_.data() + pos_, in.data(), in.size());
        pos_ += in.size();
        return true;
    }
    bool zeros(size_t n) {
        if (!need(n)) return false;
        if (n) std::memset(buf_.data() + pos_, 0, n);
        pos_ += n;
        return true;
    }
    /**
     * Hands out the next n octets for the caller to fill in place (for example with hidden
     * blocks) and moves the cursor past them; an empty view and failure when they do not fit.
     */
    constexpr std::span<uint8_t> reserve(size_t n) {
        if (!need(n)) return {};
        auto s = buf_.subspan(pos_, n);
        pos_ += n;
        return s;
    }
    /** Overwrites one octet already written (a length field); false when off is not written. */
    constexpr bool patch_u8(size_t off, uint8_t v) {
        if (!ok_ || off >= pos_) return false;
        buf_[off] = v;
        return true;
    }
    /** Overwrites two octets already written, network order. */
    constexpr bool patch_u16be(size_t off, uint16_t v) {
        if (!ok_ || pos_ < 2 || off > pos_ - 2) return false;
        buf_[off] = static_cast<uint8_t>(v >> 8);
        buf_[off + 1] = static_cast<uint8_t>(v);
        return true;
    }

  private:
    constexpr bool need(size_t n) {
        if (ok_ && n <= buf_.size() - pos_) return true;
        ok_ = false;
        return false;
    }

    std::span<uint8_t> buf_{};
    size_t pos_ = 0;
    bool ok_ = true;
};

/** Big-endian loads and stores of whole fixed-size spans (sizes checked at compile time). */
constexpr uint16_t load_be16(std::span<const uint8_t, 2> s) {
    return static_cast<uint16_t>(s[0] << 8 | s[1]);
}
constexpr uint32_t load_be32(std::span<const uint8_t, 4> s) {
    return uint32_t{s[0]} << 24 | uint32_t{s[1]} << 16 | uint32_t{s[2]} << 8 | s[3];
}
constexpr void store_be16(std::span<uint8_t, 2> s, uint16_t v) {
    s[0] = static_cast<uint8_t>(v >> 8);
    s[1] = static_cast<uint8_t>(v);
}
constexpr void store_be32(std::span<uint8_t, 4> s, uint32_t v) {
    s[0] = static_cast<uint8_t>(v >> 24);
    s[1] = static_cast<uint8_t>(v >> 16);
    s[2] = static_cast<uint8_t>(v >> 8);
    s[3] = static_cast<uint8_t>(v);
}

}  // namespace quelna::codec

#endif  // QUELNA_CODEC_OCTETS_H
