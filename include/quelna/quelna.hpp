/*
 * libquelna for C++: owners, typed attributes, exceptions and asynchronous completions over the
 * C interface of <quelna/quelna.h>. Header-only; C++17 or later.
 *
 *     quelna::Context ctx;
 *     ctx.add_realm("r", quelna::Transport::udp).server("127.0.0.1", "1812", "secret");
 *     quelna::Connection conn(ctx, "r");
 *     quelna::Packet reply = conn.send(quelna::Packet::access_request(conn, "bob", "hello"));
 *     if (reply.code() == QN_CODE_ACCESS_ACCEPT) ...
 *
 * Ownership. Context, Connection, Packet and Pair each own one C handle and release it in their
 * destructor; they move and never copy, and a moved-from owner holds nothing (using it throws
 * QNE_INVAL). The C interface wants packets gone before their connection and connections
 * before their context; here a connection keeps its context alive and a packet its connection,
 * so owners may go in any order, be returned from functions, or be dropped by an exception.
 * Attribute, Attributes, Octets and Realm are views: valid while what they look into lives.
 *
 * Errors. Every failure throws quelna::Error: a std::system_error whose code() is in the
 * "quelna" category (it compares with the C codes, e.code() == QNE_TIMEOUT, and with portable
 * conditions, e.code() == std::errc::timed_out) and whose what() is the library's own message,
 * taken from the slot the failed operation recorded it in (context or connection), or the
 * code's text for operations that record nothing. Exceptions rather than returned codes:
 * owners are made in constructors, which report only by throwing; the message travels with
 * the code; and C++17 has no std::expected. Outcomes that are routine are values, not
 * exceptions: an answer such as Access-Reject is a response, and an asynchronous request that
 * times out or is cancelled reports it in its Completion.
 *
 * Threads: as in C, a context with its connections, packets and pairs belongs to one thread at
 * a time; completions run on the thread that drives the connection.
 */
#ifndef QUELNA_QUELNA_HPP
#define QUELNA_QUELNA_HPP

#include <quelna/quelna.h>
// Beyond quelna.h: a pair's tag, descriptor flags and IPv6 values (lr_value_pair), the value
// text that names values (lr_vp_snprintf_value_named) and a packet's identifier (lr_packet).
#include <quelna/codec.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/time.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

namespace quelna {

// ---------------------------------------------------------------------------------------------
// Errors
// ---------------------------------------------------------------------------------------------

// The "quelna" category: the QNE_* codes with the library's fixed texts.
class ErrorCategory final : public std::error_category {
public:
    const char *name() const noexcept override { return "quelna"; }

    std::string message(int code) const override
    {
        const char *text = qn_strerror(code);
        return *text ? text : "unknown error " + std::to_string(code);
    }

    // Codes with a portable meaning also compare equal to the std::errc conditions.
    std::error_condition default_error_condition(int code) const noexcept override
    {
        switch (code) {
        case QNE_NOMEM:
            return std::make_error_condition(std::errc::not_enough_memory);
        case QNE_NOSYS:
            return std::make_error_condition(std::errc::function_not_supported);
        case QNE_INVAL:
            return std::make_error_condition(std::errc::invalid_argument);
        case QNE_TIMEOUT_CONN:
        case QNE_TIMEOUT_IO:
        case QNE_TIMEOUT:
            return std::make_error_condition(std::errc::timed_out);
        case QNE_INUSE:
            return std::make_error_condition(std::errc::device_or_resource_busy);
        case QNE_CANCELLED:
            return std::make_error_condition(std::errc::operation_canceled);
        default:
            return std::error_condition(code, *this);
        }
    }
};

inline const std::error_category &error_category() noexcept
{
    static const ErrorCategory category;
    return category;
}

// A failure: a QNE_* code in the "quelna" category, and the library's message as what().
class Error : public std::system_error {
public:
    Error(int code, const std::string &message)
        : std::system_error(code, error_category(), message),
          message_(message.empty() ? error_category().message(code) : message)
    {
    }

    const char *what() const noexcept override { return message_.what(); }

private:
    std::runtime_error message_;  // the message alone; copies share it without throwing
};

}  // namespace quelna

// The C codes are error code enums: e.code() == QNE_TIMEOUT.
namespace std {
template <>
struct is_error_code_enum<qn_error_code> : true_type {};
}  // namespace std

inline std::error_code make_error_code(qn_error_code code) noexcept
{
    return {static_cast<int>(code), quelna::error_category()};
}

namespace quelna {

class Connection;
class Pair;

namespace detail {

struct ErrorFree {
    void operator()(qn_error *err) const noexcept { qn_err_free(err); }
};

// Throws the failure rc of an operation, with the error it recorded (taken out of its slot
// by the caller, or NULL). -1 stands for the recorded code, a negated code for the code.
[[noreturn]] inline void raise(int rc, qn_error *recorded)
{
    const std::unique_ptr<qn_error, ErrorFree> err(recorded);
    const int code = rc == -1 ? (err ? qn_err_code(err.get(), 0) : QNE_INTERNAL)
                              : (rc < 0 ? -rc : rc);
    const bool about_it = err && qn_err_code(err.get(), 0) == code;
    throw Error(code, about_it ? qn_err_msg(err.get()) : qn_strerror(code));
}

inline void check(int rc, qn_context *ctx)
{
    if (rc != 0)
        raise(rc, qn_err_ctx_pop(ctx));
}

inline void check(int rc, qn_connection *conn)
{
    if (rc != 0)
        raise(rc, qn_err_conn_pop(conn));
}

[[noreturn]] inline void moved_from(const char *owner)
{
    throw Error(QNE_INVAL, std::string("quelna::") + owner + " used after it was moved from");
}

// A text for the C interface, which ends texts at a zero octet: one inside is refused rather
// than the rest silently dropped.
inline std::string c_text(std::string_view text, const char *what)
{
    if (text.find('\0') != std::string_view::npos)
        throw Error(QNE_INVAL, std::string(what) + ": a text cannot hold a zero octet");
    return std::string(text);
}

inline timeval to_timeval(std::chrono::microseconds wait)
{
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(wait.count() / 1000000);
    tv.tv_usec = static_cast<suseconds_t>(wait.count() % 1000000);
    return tv;
}

struct InFlight;

// What a Connection shares with its packets: the C connection goes with the last of them.
struct ConnState {
    std::shared_ptr<qn_context> ctx;  // outlives the connection
    qn_connection *conn = nullptr;
    InFlight *in_flight = nullptr;    // requests of send_async not completed yet
    event_base *base = nullptr;       // from use_event_base
    bool closing = false;             // the owner is cancelling what is in flight
    std::exception_ptr pending;       // the first exception a completion let out

    ConnState() = default;
    ConnState(const ConnState &) = delete;
    ConnState &operator=(const ConnState &) = delete;
    ~ConnState()
    {
        if (conn)
            qn_conn_destroy(conn);
    }
};

struct Access;

}  // namespace detail

// ---------------------------------------------------------------------------------------------
// Values
// ---------------------------------------------------------------------------------------------

// A view of octets: from a pointer and a size, or any contiguous container of uint8_t
// (std::vector, std::array, std::span<const uint8_t> in C++20, ...).
class Octets {
public:
    constexpr Octets() noexcept = default;
    constexpr Octets(const uint8_t *data, size_t size) noexcept : data_(data), size_(size) {}
    template <class C, class P = decltype(std::data(std::declval<const C &>())),
              class = std::enable_if_t<
                  std::is_same_v<std::remove_cv_t<std::remove_pointer_t<P>>, uint8_t>>>
    constexpr Octets(const C &octets) noexcept : data_(std::data(octets)), size_(std::size(octets))
    {
    }
    explicit Octets(std::string_view text) noexcept
        : data_(reinterpret_cast<const uint8_t *>(text.data())), size_(text.size())
    {
    }

    constexpr const uint8_t *data() const noexcept { return data_; }
    constexpr size_t size() const noexcept { return size_; }
    constexpr bool empty() const noexcept { return size_ == 0; }
    constexpr const uint8_t *begin() const noexcept { return data_; }
    constexpr const uint8_t *end() const noexcept { return data_ + size_; }
    constexpr uint8_t operator[](size_t i) const noexcept { return data_[i]; }
    std::vector<uint8_t> to_vector() const { return {begin(), end()}; }

private:
    const uint8_t *data_ = nullptr;
    size_t size_ = 0;
};

// An interface identifier (ifid, RFC 3162).
struct Ifid {
    std::array<uint8_t, 8> octets{};
};

// An IPv6 prefix: length in bits (0 to 128) and the prefix's address.
struct Ipv6Prefix {
    uint8_t length = 0;
    in6_addr address{};
};

// An attribute's numbers: attr within vendor (0: a standard attribute).
struct AttrId {
    unsigned int attr = 0;
    unsigned int vendor = 0;
};

// The numbers of an attribute name of the dictionary, or "Attr-<n>" / "Attr-26.<vendor>.<n>".
inline AttrId attribute(std::string_view name)
{
    const std::string text = detail::c_text(name, "attribute name");
    AttrId id;
    if (const int rc = qn_attr_parse_name(text.c_str(), &id.attr, &id.vendor); rc != 0)
        throw Error(rc, (rc == QNE_ATTR_UNKNOWN ? "unknown attribute \"" : "invalid name \"") +
                            text + "\"");
    return id;
}

// "Access-Accept" for QN_CODE_ACCESS_ACCEPT; "" for a code without a name.
inline std::string_view code_name(unsigned int code)
{
    return qn_code_name(code);
}

// A value pair, read only: one attribute of a packet or a Pair.
class Attribute {
public:
    explicit Attribute(const qn_avp *vp) noexcept : vp_(vp) {}

    std::string_view name() const { return qn_avp_name(vp_); }
    AttrId id() const
    {
        AttrId id;
        qn_avp_attrid(vp_, &id.attr, &id.vendor);
        return id;
    }
    qn_attr_type type() const { return qn_avp_typeof(vp_); }
    // The RFC 2868 tag (0 when none).
    int tag() const { return vp_->tag; }

    std::string_view string() const
    {
        expect(type() == QN_TYPE_STRING, "a string");
        return {qn_avp_string_value(vp_), qn_avp_length(vp_)};
    }
    // The number of an integer, short or byte.
    uint32_t integer() const
    {
        switch (type()) {
        case QN_TYPE_INTEGER:
            return qn_avp_integer_value(vp_);
        case QN_TYPE_SHORT:
            return qn_avp_short_value(vp_);
        case QN_TYPE_BYTE:
            return qn_avp_byte_value(vp_);
        default:
            expect(false, "a number");
            return 0;
        }
    }
    std::chrono::system_clock::time_point date() const
    {
        expect(type() == QN_TYPE_DATE, "a date");
        return std::chrono::system_clock::time_point(std::chrono::seconds(qn_avp_date_value(vp_)));
    }
    in_addr ipv4() const
    {
        expect(type() == QN_TYPE_IPADDR, "an IPv4 address");
        in_addr a{};
        a.s_addr = qn_avp_ipaddr_value(vp_);
        return a;
    }
    in6_addr ipv6() const
    {
        expect(type() == QN_TYPE_IPV6ADDR, "an IPv6 address");
        in6_addr a{};
        std::memcpy(&a, qn_avp_octets_value_const_ptr(vp_), sizeof a);
        return a;
    }
    Ipv6Prefix ipv6_prefix() const
    {
        expect(type() == QN_TYPE_IPV6PREFIX, "an IPv6 prefix");
        const uint8_t *v = qn_avp_octets_value_const_ptr(vp_);  // reserved, length, prefix
        Ipv6Prefix p;
        p.length = v[1];
        std::memcpy(&p.address, v + 2, sizeof p.address);
        return p;
    }
    Ifid ifid() const
    {
        expect(type() == QN_TYPE_IFID, "an interface id");
        Ifid id;
        qn_avp_ifid_value(vp_, id.octets.data());
        return id;
    }
    // The value octets as stored, for any type (numbers in host order).
    Octets octets() const { return {qn_avp_octets_value_const_ptr(vp_), qn_avp_length(vp_)}; }
    // The value as people read it: a value's name where the dictionary has one, addresses,
    // prefixes and dates in their usual text, octets as 0x and hex digits.
    std::string text() const
    {
        std::array<char, 1024> buf;
        return std::string(buf.data(), lr_vp_snprintf_value_named(buf.data(), buf.size(), vp_));
    }
    inline Pair copy() const;

    const qn_avp *native() const noexcept { return vp_; }

private:
    friend class Pair;

    static const char *type_name(qn_attr_type type)
    {
        static const char *const names[] = {"untyped",   "string",   "integer",    "ipaddr",
                                            "date",      "octets",   "ifid",       "ipv6addr",
                                            "ipv6prefix", "byte",    "short"};
        return static_cast<unsigned>(type) <= QN_TYPE_SHORT ? names[type] : "unknown";
    }

    // A value asked of (or given to) a pair of another type: QNE_ATTR_INVALID, naming both.
    void expect(bool right_type, const char *what) const
    {
        if (!right_type)
            throw Error(QNE_ATTR_INVALID, std::string(name()) + ": " + type_name(type()) +
                                              " attribute, not " + what);
    }

    const qn_avp *vp_;
};

// The attributes of a packet in their order, for range-for and the standard algorithms.
class Attributes {
public:
    class iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Attribute;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = Attribute;

        explicit iterator(const qn_avp *vp = nullptr) noexcept : vp_(vp) {}
        Attribute operator*() const noexcept { return Attribute(vp_); }
        iterator &operator++() noexcept
        {
            vp_ = qn_avp_next_const(vp_);
            return *this;
        }
        iterator operator++(int) noexcept
        {
            iterator was = *this;
            ++*this;
            return was;
        }
        bool operator==(const iterator &o) const noexcept { return vp_ == o.vp_; }
        bool operator!=(const iterator &o) const noexcept { return vp_ != o.vp_; }

    private:
        const qn_avp *vp_;
    };

    explicit Attributes(const qn_avp *head) noexcept : head_(head) {}
    iterator begin() const noexcept { return iterator(head_); }
    iterator end() const noexcept { return iterator(); }

private:
    const qn_avp *head_;
};

// An owned value pair, made for an attribute and given a typed value. A value the attribute's
// type cannot hold (another type, a number out of its range, more than 253 octets, a zero
// octet in a string) is refused with an Error; nothing is cut silently.
class Pair {
public:
    explicit Pair(AttrId id) : vp_(qn_avp_alloc(id.attr, id.vendor))
    {
        if (!vp_) {
            const bool numbers_ok = id.vendor == 0 ? id.attr <= 256 : id.vendor <= LR_MAX_VENDOR;
            throw Error(numbers_ok ? QNE_NOMEM : QNE_INVAL,
                        numbers_ok ? "" : "no attribute " + std::to_string(id.attr) +
                                              " of vendor " + std::to_string(id.vendor));
        }
    }
    explicit Pair(std::string_view name) : Pair(attribute(name)) {}
    Pair(Pair &&o) noexcept : vp_(std::exchange(o.vp_, nullptr)) {}
    Pair &operator=(Pair &&o) noexcept
    {
        if (this != &o) {
            qn_avp_free(&vp_);
            vp_ = std::exchange(o.vp_, nullptr);
        }
        return *this;
    }
    ~Pair() { qn_avp_free(&vp_); }

    explicit operator bool() const noexcept { return vp_ != nullptr; }
    Attribute view() const { return Attribute(get()); }

    // string (no zero octet) or octets
    Pair &set(std::string_view text)
    {
        if (view().type() == QN_TYPE_OCTETS)
            return set(Octets(text));
        view().expect(view().type() == QN_TYPE_STRING, "a string");
        fits(text.size());
        return done(qn_avp_string_set(vp_, detail::c_text(text, view().name().data()).c_str()));
    }
    Pair &set(const char *text)
    {
        if (!text)
            throw Error(QNE_INVAL, std::string(view().name()) + ": no text");
        return set(std::string_view(text));
    }
    Pair &set(Octets octets)
    {
        view().expect(view().type() == QN_TYPE_OCTETS, "octets");
        fits(octets.size());
        return done(qn_avp_octets_set(vp_, octets.data(), octets.size()));
    }
    // integer, short, byte or date (seconds), within the type's range
    template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>,
                                        int> = 0>
    Pair &set(T number)
    {
        const qn_attr_type type = view().type();
        view().expect(type == QN_TYPE_INTEGER || type == QN_TYPE_SHORT || type == QN_TYPE_BYTE ||
                          type == QN_TYPE_DATE,
                      "a number");
        if constexpr (std::is_signed_v<T>) {
            if (number < 0)
                out_of_range(std::to_string(number));
        }
        const auto n = static_cast<unsigned long long>(number);
        if (n > (type == QN_TYPE_BYTE ? 0xffu : type == QN_TYPE_SHORT ? 0xffffu : 0xffffffffu))
            out_of_range(std::to_string(n));
        switch (type) {
        case QN_TYPE_INTEGER:
            return done(qn_avp_integer_set(vp_, static_cast<uint32_t>(n)));
        case QN_TYPE_SHORT:
            return done(qn_avp_short_set(vp_, static_cast<uint16_t>(n)));
        case QN_TYPE_BYTE:
            return done(qn_avp_byte_set(vp_, static_cast<uint8_t>(n)));
        default:
            return done(qn_avp_date_set(vp_, static_cast<int64_t>(n)));
        }
    }
    Pair &set(std::chrono::system_clock::time_point date)
    {
        view().expect(view().type() == QN_TYPE_DATE, "a date");
        using std::chrono::seconds;
        const auto s = std::chrono::duration_cast<seconds>(date.time_since_epoch()).count();
        if (s < 0 || s > 0xffffffffLL)
            out_of_range(std::to_string(s) + " s");
        return done(qn_avp_date_set(vp_, s));
    }
    Pair &set(in_addr address)
    {
        view().expect(view().type() == QN_TYPE_IPADDR, "an IPv4 address");
        return done(qn_avp_ipaddr_set(vp_, address.s_addr));
    }
    Pair &set(const in6_addr &address)
    {
        view().expect(view().type() == QN_TYPE_IPV6ADDR, "an IPv6 address");
        std::memcpy(stored(16), &address, 16);
        return *this;
    }
    Pair &set(const Ipv6Prefix &prefix)
    {
        view().expect(view().type() == QN_TYPE_IPV6PREFIX, "an IPv6 prefix");
        if (prefix.length > 128)
            out_of_range("/" + std::to_string(prefix.length));
        uint8_t *v = stored(18);
        v[0] = 0;
        v[1] = prefix.length;
        std::memcpy(v + 2, &prefix.address, 16);
        return *this;
    }
    Pair &set(const Ifid &ifid)
    {
        view().expect(view().type() == QN_TYPE_IFID, "an interface id");
        return done(qn_avp_ifid_set(vp_, ifid.octets.data()));
    }
    // The RFC 2868 tag (0 to 31) of an attribute that has one.
    Pair &set_tag(int tag)
    {
        if (!(get()->da->flags & LR_DICT_FLAG_HAS_TAG))
            throw Error(QNE_ATTR_INVALID, std::string(view().name()) + ": takes no tag");
        if (tag < 0 || tag > 31)
            out_of_range("tag " + std::to_string(tag));
        vp_->tag = tag;
        return *this;
    }

    qn_avp *native() const noexcept { return vp_; }
    // Gives the pair up: the caller frees it (qn_avp_free) or links it into a list.
    qn_avp *release() noexcept { return std::exchange(vp_, nullptr); }

private:
    friend class Attribute;
    explicit Pair(qn_avp *vp) noexcept : vp_(vp) {}

    qn_avp *get() const
    {
        if (!vp_)
            detail::moved_from("Pair");
        return vp_;
    }
    Pair &done(int rc)
    {
        if (rc != 0)
            throw Error(rc, std::string(view().name()) + ": " + qn_strerror(rc));
        return *this;
    }
    void fits(size_t size) const
    {
        if (size > LR_MAX_VALUE_LENGTH)
            throw Error(QNE_ATTR_TOO_LARGE, std::string(view().name()) + ": " +
                                                std::to_string(size) +
                                                " octets do not fit in one attribute (253)");
    }
    [[noreturn]] void out_of_range(const std::string &value) const
    {
        throw Error(QNE_INVAL, std::string(view().name()) + ": " + value +
                                   " is out of range for " +
                                   Attribute::type_name(view().type()));
    }
    // The value octets of a fixed-size type without a setter of its own, in stored form.
    uint8_t *stored(size_t size) noexcept
    {
        vp_->length = size;
        return vp_->value;
    }

    qn_avp *vp_;
};

inline Pair Attribute::copy() const
{
    qn_avp *vp = qn_avp_dup(vp_);
    if (!vp)
        throw Error(QNE_NOMEM, "");
    return Pair(vp);
}

// ---------------------------------------------------------------------------------------------
// Packets
// ---------------------------------------------------------------------------------------------

// A request or response packet of a connection.
class Packet {
public:
    Packet() noexcept = default;
    Packet(Packet &&o) noexcept : conn_(std::move(o.conn_)), pkt_(std::exchange(o.pkt_, nullptr))
    {
    }
    Packet &operator=(Packet &&o) noexcept
    {
        if (this != &o) {
            reset();
            conn_ = std::move(o.conn_);
            pkt_ = std::exchange(o.pkt_, nullptr);
        }
        return *this;
    }
    ~Packet() { reset(); }

    // A request of any request code (QN_CODE_ACCESS_REQUEST, QN_CODE_ACCOUNTING_REQUEST,
    // QN_CODE_STATUS_SERVER, QN_CODE_DISCONNECT_REQUEST, QN_CODE_COA_REQUEST).
    static Packet request(Connection &conn, unsigned int code);
    // An Access-Request with User-Name and User-Password (hidden when the packet is encoded).
    static Packet access_request(Connection &conn, std::string_view user,
                                 std::string_view password);

    explicit operator bool() const noexcept { return pkt_ != nullptr; }
    unsigned int code() const { return qn_packet_code(get()); }
    std::string_view code_name() const { return qn_code_name(code()); }
    // The identifier (a request gets one when it is first sent).
    int id() const { return qn_packet_codec(get())->id; }

    Attributes attributes() const { return Attributes(*head()); }
    std::optional<Attribute> find(AttrId id) const
    {
        const qn_avp *vp = qn_packet_find_avp(get(), id.attr, id.vendor);
        return vp ? std::optional<Attribute>(Attribute(vp)) : std::nullopt;
    }
    std::optional<Attribute> find(std::string_view name) const { return find(attribute(name)); }

    // Appends an attribute with a value of its type (see Pair::set).
    template <class V>
    Packet &add(AttrId id, const V &value)
    {
        get();
        Pair pair(id);
        pair.set(value);
        return add(std::move(pair));
    }
    template <class V>
    Packet &add(std::string_view name, const V &value)
    {
        return add(attribute(name), value);
    }
    Packet &add(Pair &&pair)
    {
        qn_avp **list = head();
        if (!pair)
            detail::moved_from("Pair");
        qn_avp_append(list, pair.release());
        return *this;
    }
    // Removes every attribute id; false when there was none.
    bool remove(AttrId id) { return qn_avp_delete(head(), id.attr, id.vendor) == QNE_OK; }
    bool remove(std::string_view name) { return remove(attribute(name)); }

    qn_packet *native() const noexcept { return pkt_; }

private:
    friend class Connection;
    friend struct detail::Access;

    Packet(std::shared_ptr<detail::ConnState> conn, qn_packet *pkt) noexcept
        : conn_(pkt ? std::move(conn) : nullptr), pkt_(pkt)
    {
    }
    qn_packet *get() const
    {
        if (!pkt_)
            detail::moved_from("Packet");
        return pkt_;
    }
    qn_avp **head() const
    {
        qn_avp **list = nullptr;
        qn_packet_avps(get(), &list);
        return list;
    }
    void reset() noexcept
    {
        qn_packet_destroy(std::exchange(pkt_, nullptr));
        conn_.reset();
    }

    std::shared_ptr<detail::ConnState> conn_;  // keeps the connection alive
    qn_packet *pkt_ = nullptr;
};

// How an asynchronous request ended, handed to its completion (as an rvalue).
class Completion {
public:
    std::error_code code;  // empty: the verified response came
    std::string message;   // why not, when code is set
    Packet request;        // the packet given to send_async, back to its owner
    Packet response;       // the verified, decoded answer; empty unless ok()

    bool ok() const noexcept { return !code; }
    // Throws the failure as an Error (nothing when ok()).
    void check() const
    {
        if (code)
            throw Error(code.value(), message);
    }
};

// A request started by send_async, for cancelling it. Valid until its completion has run.
class AsyncRequest {
public:
    explicit AsyncRequest(qn_async_request *handle) noexcept : handle_(handle) {}
    // Its completion runs now with QNE_CANCELLED; an answer that comes later is ignored.
    void cancel() const noexcept { qn_async_cancel(handle_); }
    qn_async_request *native() const noexcept { return handle_; }

private:
    qn_async_request *handle_;
};

// The fixed schedule of a request: each attempt waits wait, for at most attempts attempts.
// The default (wait 0) is the library's growing, randomised schedule.
struct Schedule {
    std::chrono::microseconds wait{0};
    int attempts = 1;
};

// A server that answered: host and service as configured, and the address that answered.
struct Server {
    std::string host, service, address;
};

namespace detail {

// A request of send_async waiting for its completion: one allocation per request holds it
// and the completion (any callable, moved in).
struct InFlight {
    virtual ~InFlight() = default;
    virtual void invoke(Completion &&done) = 0;

    void link(ConnState &st) noexcept
    {
        state = &st;
        next = st.in_flight;
        if (next)
            next->prev = this;
        st.in_flight = this;
    }
    void unlink() noexcept
    {
        (prev ? prev->next : state->in_flight) = next;
        if (next)
            next->prev = prev;
    }

    qn_async_request *handle = nullptr;
    Packet request;
    ConnState *state = nullptr;
    InFlight *prev = nullptr, *next = nullptr;
};

template <class F>
struct Pending final : InFlight {
    template <class G>
    explicit Pending(G &&g) : fn(std::forward<G>(g))
    {
    }
    void invoke(Completion &&done) override { std::invoke(fn, std::move(done)); }
    F fn;
};

struct Access {
    // The C engine's completion: gives both packets to the callable. An exception it throws
    // cannot cross the C code that called us: the first one is kept for the owner to rethrow.
    static void complete(qn_async_request *, int code, const char *message, qn_packet *,
                         qn_packet *response, void *arg) noexcept
    {
        const std::unique_ptr<InFlight> f(static_cast<InFlight *>(arg));
        f->unlink();
        ConnState *st = f->state;
        Completion done;
        done.response = Packet(f->request.conn_, response);
        done.request = std::move(f->request);
        if (code != 0)
            done.code = std::error_code(code, error_category());
        try {
            if (message)
                done.message = message;
            f->invoke(std::move(done));
        } catch (...) {
            if (!st->pending)
                st->pending = std::current_exception();
        }
    }
};

}  // namespace detail

// ---------------------------------------------------------------------------------------------
// Context, realms, connections
// ---------------------------------------------------------------------------------------------

enum class Transport {
    udp = QN_CONN_TYPE_UDP,
    tcp = QN_CONN_TYPE_TCP,
    tls = QN_CONN_TYPE_TLS,
    dtls = QN_CONN_TYPE_DTLS
};

enum class KeyEncoding { text = QN_KEY_ENCODING_TEXT, hex = QN_KEY_ENCODING_HEX };

// require_message_authenticator: refuse Access replies without one always, never, or once the
// server has sent one.
enum class Require { yes, no, automatic };

// A realm made in code, set up by chained calls; each refuses a bad value with an Error.
// Valid while its context's configuration is (reading a file replaces it).
class Realm {
public:
    Realm &server(std::string_view host, std::string_view service, std::string_view secret)
    {
        return check(qn_realm_add_server(realm_, detail::c_text(host, "host").c_str(),
                                         detail::c_text(service, "service").c_str(),
                                         detail::c_text(secret, "secret").c_str()));
    }
    Realm &timeout(std::chrono::seconds each_attempt)
    {
        const auto s = std::clamp<std::chrono::seconds::rep>(each_attempt.count(), -1, INT_MAX);
        return check(qn_realm_set_timeout(realm_, static_cast<int>(s)));
    }
    Realm &retries(int per_server) { return check(qn_realm_set_retries(realm_, per_server)); }
    // CA file, and the client's certificate and key ("": none).
    Realm &tls_files(std::string_view ca, std::string_view cert = {}, std::string_view key = {})
    {
        const std::string c = detail::c_text(ca, "cacertfile");
        const std::string crt = detail::c_text(cert, "certfile");
        const std::string k = detail::c_text(key, "certkeyfile");
        return check(qn_realm_set_tls_files(realm_, c.empty() ? nullptr : c.c_str(),
                                            crt.empty() ? nullptr : crt.c_str(),
                                            k.empty() ? nullptr : k.c_str()));
    }
    Realm &psk(std::string_view identity, std::string_view key,
               KeyEncoding encoding = KeyEncoding::hex)
    {
        const std::string id = detail::c_text(identity, "pskid");
        return check(qn_realm_set_psk(realm_, id.empty() ? nullptr : id.c_str(),
                                      detail::c_text(key, "pre-shared key").c_str(),
                                      static_cast<int>(encoding)));
    }
    Realm &hostname_check(bool on) { return check(qn_realm_set_hostname_check(realm_, on)); }
    Realm &require_message_authenticator(Require when)
    {
        const char *word = when == Require::yes ? "yes" : when == Require::no ? "no" : "auto";
        return check(qn_realm_set_require_message_authenticator(realm_, word));
    }

    qn_realm *native() const noexcept { return realm_; }

private:
    friend class Context;
    Realm(std::shared_ptr<qn_context> ctx, qn_realm *realm) noexcept
        : ctx_(std::move(ctx)), realm_(realm)
    {
    }
    Realm &check(int rc)
    {
        detail::check(rc, ctx_.get());
        return *this;
    }

    std::shared_ptr<qn_context> ctx_;
    qn_realm *realm_;
};

// A library context: its realms (from a configuration file or made in code) and dictionary.
class Context {
public:
    Context()
    {
        qn_context *ctx = nullptr;
        if (const int rc = qn_context_create(&ctx); rc != 0)
            throw Error(rc, "");
        ctx_.reset(ctx, [](qn_context *c) { qn_context_destroy(c); });
    }

    // Reads a configuration file, replacing the realms read or made before.
    void read_config(std::string_view path)
    {
        detail::check(qn_context_read_config(get(), detail::c_text(path, "path").c_str()), get());
    }
    // Loads a dictionary file for the whole process.
    void load_dictionary(std::string_view path)
    {
        detail::check(qn_dict_load(get(), detail::c_text(path, "path").c_str()), get());
    }
    Realm add_realm(std::string_view name, Transport transport)
    {
        qn_realm *realm = nullptr;
        detail::check(qn_realm_create(get(), detail::c_text(name, "realm").c_str(),
                                      static_cast<int>(transport), &realm),
                      get());
        return Realm(ctx_, realm);
    }

    qn_context *native() const noexcept { return ctx_.get(); }

private:
    friend class Connection;
    qn_context *get() const
    {
        if (!ctx_)
            detail::moved_from("Context");
        return ctx_.get();
    }

    std::shared_ptr<qn_context> ctx_;
};

// A connection to a realm's servers: blocking requests (send) and any number in flight
// (send_async), driven by run(), by the application's own loop (fds, next_timeout, process),
// or by its libevent base (use_event_base).
class Connection {
public:
    // A realm that is not configured is refused (QNE_NOPEER).
    Connection(Context &ctx, std::string_view realm)
    {
        qn_context *c = ctx.get();
        const std::string name = detail::c_text(realm, "realm");
        if (!qn_conf_find_realm(c, name.c_str()))
            throw Error(QNE_NOPEER, "no realm \"" + name + "\" is configured");
        auto st = std::make_shared<detail::ConnState>();
        st->ctx = ctx.ctx_;
        detail::check(qn_conn_create(c, &st->conn, name.c_str()), c);
        st_ = std::move(st);
    }
    Connection(Connection &&) noexcept = default;
    Connection &operator=(Connection &&o) noexcept
    {
        if (this != &o) {
            close();
            st_ = std::move(o.st_);
        }
        return *this;
    }
    // Cancels the requests of send_async still in flight (their completions run now, with
    // QNE_CANCELLED) and gives the event base back. Never destroy a Connection from a
    // completion of its own.
    ~Connection() { close(); }

    // Sends request and waits for its verified answer; request stays the caller's and may be
    // sent again. A timeout, or answers that all failed verification, throw.
    Packet send(Packet &request, const Schedule &schedule = {})
    {
        detail::ConnState &st = owns(request);
        qn_request *req = nullptr;
        detail::check(qn_request_create(st.conn, &req), st.conn);
        // The request borrows the packet, and gives it back before it is destroyed.
        struct Borrowed {
            qn_request *req;
            ~Borrowed()
            {
                qn_request_add_reqpkt(req, nullptr);
                qn_request_destroy(req);
            }
        } borrowed{req};
        qn_request_add_reqpkt(req, request.pkt_);
        if (schedule.wait.count() > 0) {
            const timeval tv = detail::to_timeval(schedule.wait);
            qn_request_set_schedule(req, &tv, schedule.attempts);
        }
        qn_packet *resp = nullptr;
        const int rc = qn_request_send(req, &resp);
        Packet response(st_, resp);
        detail::check(rc, st.conn);
        return response;
    }
    Packet send(Packet &&request, const Schedule &schedule = {}) { return send(request, schedule); }

    // Starts request and returns at once. completion, any callable taking a Completion rvalue,
    // runs exactly once, later: from process/run (or the event base's dispatch), from
    // AsyncRequest::cancel, or from this connection's destructor. An exception it throws is
    // kept (the first one) and rethrown by process, run or rethrow_pending. Costs one
    // allocation per request beside the engine's. When starting fails the request stays the
    // caller's and no completion comes.
    template <class F>
    AsyncRequest send_async(Packet &&request, F &&completion)
    {
        using Fn = std::decay_t<F>;
        static_assert(std::is_invocable_v<Fn &, Completion &&>,
                      "a completion is called with a quelna::Completion rvalue");
        detail::ConnState &st = owns(request);
        if (st.closing)
            throw Error(QNE_CANCELLED, "the connection is being closed");
        auto f = std::make_unique<detail::Pending<Fn>>(std::forward<F>(completion));
        detail::check(qn_async_send(st.conn, request.pkt_, &detail::Access::complete, f.get(),
                                    &f->handle),
                      st.conn);
        f->request = std::move(request);
        f->link(st);
        return AsyncRequest(f.release()->handle);
    }

    // Requests of send_async started and not completed (queued ones included).
    size_t outstanding() const { return qn_async_outstanding(state().conn); }
    // A fixed schedule for the requests of send_async started from now on ({}: the default).
    void set_async_schedule(const Schedule &schedule)
    {
        const timeval tv = detail::to_timeval(schedule.wait);
        check(qn_async_set_schedule(state().conn, schedule.wait.count() > 0 ? &tv : nullptr,
                                    schedule.attempts));
    }
    void set_queue_limit(size_t limit) { check(qn_async_set_queue_limit(state().conn, limit)); }

    // The engine's sockets and timer become events of base, which must outlive the
    // connection; the application then runs event_base_dispatch (or _loop).
    void use_event_base(event_base *base)
    {
        check(qn_async_use_event_base(state().conn, base));
        st_->base = base;
    }

    // For the application's own loop: the sockets to watch (QN_ASYNC_READ / _WRITE) ...
    std::vector<qn_async_fd> fds() const
    {
        std::vector<qn_async_fd> fds(8);
        for (;;) {
            const size_t n = qn_async_fds(state().conn, fds.data(), fds.size());
            const bool all = n <= fds.size();
            fds.resize(n);
            if (all)
                return fds;
        }
    }
    // ... the wait until the engine next needs time (nullopt: no timer) ...
    std::optional<std::chrono::microseconds> next_timeout() const
    {
        timeval tv{};
        if (!qn_async_timeout(state().conn, &tv))
            return std::nullopt;
        return std::chrono::seconds(tv.tv_sec) + std::chrono::microseconds(tv.tv_usec);
    }
    // ... and what happened: socket fd ready for events, then the due timers (fd -1: only
    // them). False for a socket that is no longer the engine's (closed earlier in the round).
    bool process(int fd, int events)
    {
        qn_connection *conn = state().conn;
        const int rc = qn_async_process(conn, fd, events);
        if (rc != 0)
            qn_err_free(qn_err_conn_pop(conn));
        rethrow_pending();
        return rc == 0;
    }
    void process_timers() { process(-1, 0); }

    // Drives the engine with poll(2) until no request of send_async is outstanding; each ends
    // within its schedule. Not for a connection on an event base.
    void run()
    {
        if (state().base)
            throw Error(QNE_INUSE, "an event base drives this connection");
        std::vector<pollfd> polled;
        while (outstanding() > 0) {
            const std::vector<qn_async_fd> watch = fds();
            const auto wait = next_timeout();
            if (watch.empty() && !wait)  // cannot happen; never wait for nothing
                throw Error(QNE_INTERNAL, "requests outstanding, but nothing to wait for");
            polled.resize(watch.size());
            for (size_t i = 0; i < watch.size(); i++)
                polled[i] = {watch[i].fd,
                             static_cast<short>((watch[i].events & QN_ASYNC_READ ? POLLIN : 0) |
                                                (watch[i].events & QN_ASYNC_WRITE ? POLLOUT : 0)),
                             0};
            const int ms = wait ? static_cast<int>(std::min<long long>(
                                      std::chrono::ceil<std::chrono::milliseconds>(*wait).count(),
                                      INT_MAX))
                                : -1;
            const int n = ::poll(polled.data(), polled.size(), ms);
            if (n < 0 && errno != EINTR)
                throw Error(QNE_SOCKERR, std::string("poll: ") + std::strerror(errno));
            if (n <= 0) {
                process_timers();
                continue;
            }
            for (size_t i = 0; i < polled.size(); i++) {
                const short r = polled[i].revents;
                if (r == 0)
                    continue;
                // An error or hang-up counts as readiness for what the engine asked for.
                const int events = r & (POLLERR | POLLHUP)
                                       ? watch[i].events
                                       : (r & POLLIN ? QN_ASYNC_READ : 0) |
                                             (r & POLLOUT ? QN_ASYNC_WRITE : 0);
                process(polled[i].fd, events);
            }
        }
    }

    // Throws the exception a completion let out, if any (for loops this class does not run).
    void rethrow_pending()
    {
        if (std::exception_ptr e = std::exchange(state().pending, nullptr))
            std::rethrow_exception(e);
    }

    // The server that gave the most recent verified answer to send (QNE_NOPEER before one).
    Server answering_server() const
    {
        const char *host = nullptr, *service = nullptr;
        std::array<char, 128> address{};
        check(qn_conn_get_answering_server(state().conn, &host, &service, address.data(),
                                           address.size()));
        return {host ? host : "", service ? service : "", address.data()};
    }

    qn_connection *native() const noexcept { return st_ ? st_->conn : nullptr; }

private:
    friend class Packet;

    detail::ConnState &state() const
    {
        if (!st_)
            detail::moved_from("Connection");
        return *st_;
    }
    detail::ConnState &owns(const Packet &packet) const
    {
        detail::ConnState &st = state();
        packet.get();
        if (packet.conn_ != st_)
            throw Error(QNE_INVAL, "the packet belongs to another connection");
        return st;
    }
    void check(int rc) const { detail::check(rc, state().conn); }

    void close() noexcept
    {
        if (!st_)
            return;
        detail::ConnState &st = *st_;
        st.closing = true;
        while (detail::InFlight *f = st.in_flight) {
            qn_async_cancel(f->handle);  // runs and unlinks its completion
            if (st.in_flight == f)
                break;
        }
        if (st.base && qn_async_use_event_base(st.conn, nullptr) != 0)
            qn_err_free(qn_err_conn_pop(st.conn));
        st.base = nullptr;
        st.pending = nullptr;
        st_.reset();
    }

    std::shared_ptr<detail::ConnState> st_;
};

inline Packet Packet::request(Connection &conn, unsigned int code)
{
    detail::ConnState &st = conn.state();
    qn_packet *pkt = nullptr;
    const int rc = qn_packet_create_request(st.conn, &pkt, code);
    Packet made(conn.st_, pkt);
    detail::check(rc, st.conn);
    return made;
}

inline Packet Packet::access_request(Connection &conn, std::string_view user,
                                     std::string_view password)
{
    detail::ConnState &st = conn.state();
    const std::string u = detail::c_text(user, "User-Name");
    const std::string p = detail::c_text(password, "User-Password");
    qn_packet *pkt = nullptr;
    const int rc = qn_packet_create_authn_request(st.conn, &pkt, u.c_str(), p.c_str());
    Packet made(conn.st_, pkt);  // also when an attribute was refused
    detail::check(rc, st.conn);
    return made;
}

}  // namespace quelna

#endif  // QUELNA_QUELNA_HPP
