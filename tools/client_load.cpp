// Load mode of quelna-client: copies of the input's requests, a number of them in flight on one
// connection through the library's asynchronous engine on a libevent loop of our own, at an
// optional rate; then a summary of the outcomes, the rate reached and the latencies.
#include <event2/event.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <new>
#include <string>
#include <vector>

#include "client.h"

namespace quelna::client {
namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned int kUserName = 1;
constexpr unsigned int kReplyMessage = 18;
constexpr size_t kMaxString = 253;  // RFC 2865 §5: an attribute value holds 253 octets
constexpr timeval kProgressEvery = {0, 250000};

// Every request ends in exactly one of these.
enum Outcome { kAccepted, kRejected, kMismatched, kTimedOut, kFailed, kOutcomes };

// Pseudo codes of notes that are no library code.
constexpr int kNoteMismatch = -1;
constexpr int kNoteUnexpected = -2;

struct EventBaseDeleter {
    void operator()(event_base *base) const { event_base_free(base); }
};
struct EventDeleter {
    void operator()(event *ev) const { event_free(ev); }
};
using EventPtr = std::unique_ptr<event, EventDeleter>;

bool is_timeout(int code)
{
    return code == QNE_TIMEOUT || code == QNE_TIMEOUT_IO || code == QNE_TIMEOUT_CONN;
}

timeval timeval_of(double seconds)
{
    const long long us = std::llround(seconds * 1e6);
    return {static_cast<time_t>(us / 1000000), static_cast<suseconds_t>(us % 1000000)};
}

/** text with every "%n" replaced by number. */
std::string numbered(std::string_view text, size_t number)
{
    std::string out;
    for (size_t at = 0; at < text.size(); at++) {
        if (text.compare(at, 2, "%n") == 0) {
            out += std::to_string(number);
            at++;
        } else {
            out += text[at];
        }
    }
    return out;
}

/** The User-Name of a pair list ("" for none). */
std::string user_of(const qn_avp *pairs)
{
    const char *text = qn_avp_string_value(qn_avp_find_const(pairs, kUserName, 0));
    return text ? text : "";
}

bool is_word_char(char c)
{
    return std::isalnum(static_cast<unsigned char>(c)) != 0;
}

/** Whether a Reply-Message of response holds user as a word of its own ("Hello, load-12"
 *  names load-12, but neither load-1 nor oad-12). */
bool names_user(qn_packet *response, const std::string &user)
{
    if (user.empty())
        return false;
    for (const qn_avp *vp = qn_packet_find_avp(response, kReplyMessage, 0); vp;
         vp = qn_avp_find_const(qn_avp_next_const(vp), kReplyMessage, 0)) {
        const auto *octets = reinterpret_cast<const char *>(qn_avp_octets_value_const_ptr(vp));
        const std::string_view text(octets ? octets : "", octets ? qn_avp_length(vp) : 0);
        for (size_t at = text.find(user); at != text.npos; at = text.find(user, at + 1)) {
            const size_t end = at + user.size();
            if ((at == 0 || !is_word_char(text[at - 1])) &&
                (end == text.size() || !is_word_char(text[end])))
                return true;
        }
    }
    return false;
}

/** A failure's text: the code's own, then the library's message unless it starts with it. */
std::string failure_text(int code, const char *message)
{
    std::string text = qn_strerror(code);
    const std::string said = message ? message : "";
    if (said.rfind(text, 0) == 0)
        return said;
    return said.empty() ? text : text + ": " + said;
}

std::string fixed(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", value);
    return text;
}

class LoadRun;

/** A place for one request in flight. */
struct Slot {
    LoadRun *run = nullptr;
    qn_packet *packet = nullptr;
    qn_async_request *areq = nullptr;
    size_t number = 0;  // 1..count
    std::string user;   // the User-Name sent
    Clock::time_point started;
};

/** What went wrong how often, with the first instance's text. */
struct Note {
    int code;
    size_t count;
    std::string text;
};

class LoadRun {
public:
    LoadRun(const Options &opts, Session &session, const std::vector<RequestPlan> &requests)
        : opts_(opts),
          conn_(session.conn()),
          requests_(requests),
          total_(opts.count_set ? static_cast<size_t>(opts.count) : requests.size()),
          slots_(std::min(total_, static_cast<size_t>(opts.parallel)))
    {
    }
    LoadRun(const LoadRun &) = delete;
    LoadRun &operator=(const LoadRun &) = delete;

    Status run();

private:
    Status check_user_names() const;
    Status set_up(event_base *base);
    void pump();
    void stop();
    void start(Slot *slot);
    qn_packet *packet_for(size_t number, std::string *user) const;
    void complete(Slot *slot, int code, const char *message, qn_packet *response);
    void end(Slot *slot, Outcome outcome, Status status);
    void note(int code, const std::string &text);
    void show_progress(bool last) const;
    void tick() { show_progress(false); }
    void print_summary();

    template <void (LoadRun::*method)()>
    static void event_cb(evutil_socket_t, short, void *arg)
    {
        (static_cast<LoadRun *>(arg)->*method)();
    }
    static void on_done(qn_async_request *, int code, const char *message, qn_packet *,
                        qn_packet *response, void *arg);

    const Options &opts_;
    qn_connection *conn_;
    const std::vector<RequestPlan> &requests_;
    const size_t total_;
    std::vector<Slot> slots_;
    std::vector<Slot *> idle_;
    size_t next_ = 0;      // requests started
    size_t finished_ = 0;  // requests ended
    std::array<size_t, kOutcomes> counts_{};
    Status worst_ = kPositive;
    std::vector<double> latencies_;  // milliseconds, of every answer
    std::vector<Note> notes_;
    Clock::time_point begun_, ended_;
    // --rate: a token bucket holding at most a tenth of a second's worth (and one at least).
    double tokens_ = 1;
    Clock::time_point refilled_;
    bool stopping_ = false;  // interrupted: start nothing more
    event_base *base_ = nullptr;
    EventPtr rate_timer_, progress_timer_, interrupt_;
    int progress_fd_ = -1;  // standard error, kept open while it is muted
};

Status LoadRun::check_user_names() const
{
    // The largest number is the longest.
    for (const RequestPlan &plan : requests_) {
        if (numbered(user_of(plan.pairs.get()), total_).size() > kMaxString) {
            complain("User-Name with %%n replaced by %zu is longer than %zu octets", total_,
                     kMaxString);
            return kUsage;
        }
    }
    return kPositive;
}

Status LoadRun::set_up(event_base *base)
{
    base_ = base;
    if (qn_async_use_event_base(conn_, base) != 0) {
        complain("the connection cannot take an event loop");
        return kFailure;
    }
    // Requests past the 256 identifiers of a connection wait in the engine's queue.
    qn_async_set_queue_limit(conn_, slots_.size());
    if (opts_.timeout) {
        const timeval tv = timeval_of(*opts_.timeout);
        qn_async_set_schedule(conn_, &tv, opts_.retries + 1);
    }
    rate_timer_.reset(event_new(base, -1, 0, event_cb<&LoadRun::pump>, this));
    // An interrupt ends the run early, with the summary of what was done.
    interrupt_.reset(evsignal_new(base, SIGINT, event_cb<&LoadRun::stop>, this));
    if (!rate_timer_ || !interrupt_ || event_add(interrupt_.get(), nullptr) != 0) {
        complain("cannot make the event loop's timers");
        return kFailure;
    }
    if (!opts_.quiet && isatty(STDERR_FILENO) == 1)
        progress_fd_ = dup(STDERR_FILENO);
    if (progress_fd_ >= 0) {
        progress_timer_.reset(event_new(base, -1, EV_PERSIST, event_cb<&LoadRun::tick>, this));
        if (progress_timer_)
            event_add(progress_timer_.get(), &kProgressEvery);
    }
    return kPositive;
}

Status LoadRun::run()
{
    if (Status s = check_user_names(); s != kPositive)
        return s;
    std::unique_ptr<event_base, EventBaseDeleter> base(event_base_new());
    if (!base) {
        complain("cannot make an event loop");
        return kFailure;
    }
    Status s = set_up(base.get());
    if (s == kPositive) {
        latencies_.reserve(total_);
        for (Slot &slot : slots_) {
            slot.run = this;
            idle_.push_back(&slot);
        }
        begun_ = refilled_ = Clock::now();
        StderrMute mute(true);
        pump();
        if (finished_ < total_)
            event_base_dispatch(base.get());
        if (next_ > finished_) {
            complain("the event loop ended with %zu requests outstanding", next_ - finished_);
            stop();
        }
    }
    // The loop goes before the connection: the engine gives its events back first.
    qn_async_use_event_base(conn_, nullptr);
    rate_timer_.reset();
    progress_timer_.reset();
    interrupt_.reset();
    if (progress_fd_ >= 0) {
        show_progress(true);
        close(progress_fd_);
    }
    if (s != kPositive)
        return s;
    for (const Note &n : notes_)
        complain("%zu of %zu requests: %s", n.count, total_, n.text.c_str());
    print_summary();
    return worst_;
}

/** Starts requests while there are slots (and, with --rate, tokens); ends the loop when all
 *  are done. */
void LoadRun::pump()
{
    if (opts_.rate) {
        const Clock::time_point now = Clock::now();
        const double capacity = std::max(1.0, *opts_.rate / 10);
        tokens_ =
            std::min(capacity, tokens_ + std::chrono::duration<double>(now - refilled_).count() *
                                             *opts_.rate);
        refilled_ = now;
    }
    while (!stopping_ && next_ < total_ && !idle_.empty() && (!opts_.rate || tokens_ >= 1)) {
        Slot *slot = idle_.back();
        idle_.pop_back();
        if (opts_.rate)
            tokens_ -= 1;
        start(slot);
    }
    if (finished_ == next_ && (stopping_ || next_ == total_)) {
        event_base_loopexit(base_, nullptr);
    } else if (opts_.rate && !stopping_ && next_ < total_ && !idle_.empty() &&
               !event_pending(rate_timer_.get(), EV_TIMEOUT, nullptr)) {
        // The time until the next token, and a microsecond for rounding.
        const timeval tv = timeval_of((1 - tokens_) / *opts_.rate + 1e-6);
        event_add(rate_timer_.get(), &tv);
    }
}

/** Starts nothing more and cancels what is in flight (each completes as cancelled). */
void LoadRun::stop()
{
    stopping_ = true;
    for (Slot &slot : slots_)
        if (slot.areq)
            qn_async_cancel(slot.areq);
    pump();
}

/** The packet of request number: the input's requests in turn, "%n" in its User-Name made the
 *  number; the User-Name sent goes to *user. Null when memory runs out. */
qn_packet *LoadRun::packet_for(size_t number, std::string *user) const
{
    const RequestPlan &plan = requests_[(number - 1) % requests_.size()];
    qn_packet *pkt = nullptr;
    if (qn_packet_create_request(conn_, &pkt, opts_.kind->code) != 0)
        return nullptr;
    lr_value_pair **head = nullptr;
    qn_packet_avps(pkt, &head);
    user->clear();
    for (const qn_avp *vp = plan.pairs.get(); vp; vp = qn_avp_next_const(vp)) {
        qn_avp *copy = qn_avp_dup(vp);
        if (copy && vp->da->attr == kUserName && vp->da->vendor == 0 && qn_avp_string_value(copy)) {
            *user = numbered(qn_avp_string_value(copy), number);
            if (qn_avp_string_set(copy, user->c_str()) != QNE_OK)
                qn_avp_free(&copy);
        }
        if (!copy) {
            qn_packet_destroy(pkt);
            return nullptr;
        }
        qn_avp_append(head, copy);
    }
    return pkt;
}

void LoadRun::start(Slot *slot)
{
    slot->number = ++next_;
    slot->packet = packet_for(slot->number, &slot->user);
    if (!slot->packet) {
        note(QNE_NOMEM, "out of memory building a request");
        end(slot, kFailed, kFailure);
        return;
    }
    slot->started = Clock::now();
    if (int rc = qn_async_send(conn_, slot->packet, on_done, slot, &slot->areq); rc != 0) {
        // Refused at once, with no callback to come.
        qn_error *err = qn_err_conn_pop(conn_);
        note(rc, failure_text(rc, err ? qn_err_msg(err) : nullptr));
        if (err)
            qn_err_free(err);
        end(slot, kFailed, rc == QNE_NOPEER ? kUsage : kFailure);
    }
}

void LoadRun::on_done(qn_async_request *, int code, const char *message, qn_packet *,
                      qn_packet *response, void *arg)
{
    auto *slot = static_cast<Slot *>(arg);
    slot->run->complete(slot, code, message, response);
}

void LoadRun::complete(Slot *slot, int code, const char *message, qn_packet *response)
{
    if (code != 0 || !response) {
        code = code != 0 ? code : QNE_INTERNAL;
        note(code, failure_text(code, message));
        // A realm without a server is a configuration error found only when sending.
        end(slot, is_timeout(code) ? kTimedOut : kFailed,
            is_timeout(code)                           ? kTimeout
            : code == QNE_CONFIG || code == QNE_NOPEER ? kUsage
                                                       : kFailure);
        pump();
        return;
    }
    latencies_.push_back(
        std::chrono::duration<double, std::milli>(Clock::now() - slot->started).count());
    const unsigned int answer = qn_packet_code(response);
    const Status status = status_of_response(answer);
    if (status == kFailure) {
        note(kNoteUnexpected, "unexpected answer code " + std::to_string(answer));
        end(slot, kFailed, kFailure);
    } else if (opts_.check_reply && !names_user(response, slot->user)) {
        const qn_avp *said = qn_packet_find_avp(response, kReplyMessage, 0);
        note(kNoteMismatch, "the Reply-Message does not name the User-Name; the first: request " +
                                std::to_string(slot->number) + ", User-Name \"" + slot->user +
                                "\", Reply-Message \"" +
                                (qn_avp_string_value(said) ? qn_avp_string_value(said) : "") +
                                "\"");
        end(slot, kMismatched, kFailure);
    } else {
        end(slot, status == kPositive ? kAccepted : kRejected, status);
    }
    qn_packet_destroy(response);
    pump();
}

/** Counts a request that ended, frees its packet and makes its slot idle. */
void LoadRun::end(Slot *slot, Outcome outcome, Status status)
{
    counts_[outcome]++;
    worst_ = std::max(worst_, status);
    finished_++;
    ended_ = Clock::now();
    qn_packet_destroy(slot->packet);  // null when it could not be built
    slot->packet = nullptr;
    slot->areq = nullptr;
    idle_.push_back(slot);
}

void LoadRun::note(int code, const std::string &text)
{
    for (Note &n : notes_) {
        if (n.code == code) {
            n.count++;
            return;
        }
    }
    notes_.push_back({code, 1, text});
}

/** Rewrites the progress line in place; the last call clears it. */
void LoadRun::show_progress(bool last) const
{
    std::string line = "\r";
    if (!last) {
        const double seconds = std::chrono::duration<double>(Clock::now() - begun_).count();
        char text[256];
        std::snprintf(text, sizeof text,
                      "sent %zu/%zu, in flight %zu: accepted %zu, rejected %zu, mismatched %zu, "
                      "timed out %zu, failed %zu; %.0f/s",
                      next_, total_, next_ - finished_, counts_[kAccepted], counts_[kRejected],
                      counts_[kMismatched], counts_[kTimedOut], counts_[kFailed],
                      seconds > 0 ? static_cast<double>(finished_) / seconds : 0.0);
        line += text;
    }
    line += "\033[K";  // erase what a longer line left
    if (write(progress_fd_, line.data(), line.size()) < 0)
        return;  // nothing to do about a terminal that went away
}

void LoadRun::print_summary()
{
    if (opts_.quiet)
        return;
    const double seconds = std::chrono::duration<double>(ended_ - begun_).count();
    struct Field {
        const char *key, *label;
        std::string value;
    };
    const Field fields[] = {
        {"sent", "sent", std::to_string(next_)},
        {"accepted", "accepted", std::to_string(counts_[kAccepted])},
        {"rejected", "rejected", std::to_string(counts_[kRejected])},
        {"mismatched", "mismatched", std::to_string(counts_[kMismatched])},
        {"timed_out", "timed out", std::to_string(counts_[kTimedOut])},
        {"failed", "failed", std::to_string(counts_[kFailed])},
        {"seconds", "seconds", fixed(seconds)},
        {"requests_per_second", "requests/s",
         fixed(seconds > 0 ? static_cast<double>(finished_) / seconds : 0)},
    };
    // Nearest rank: the smallest latency at or above the given share of all.
    std::sort(latencies_.begin(), latencies_.end());
    std::string latency;
    for (const auto &[name, share] :
         {std::pair{"p50", 0.5}, {"p90", 0.9}, {"p99", 0.99}, {"max", 1.0}}) {
        std::string value = opts_.json ? "null" : "-";
        if (!latencies_.empty()) {
            const auto rank = static_cast<size_t>(std::ceil(share * latencies_.size()));
            value = fixed(latencies_[std::max<size_t>(rank, 1) - 1]);
        }
        if (opts_.json)
            latency += (latency.empty() ? "\"" : ", \"") + std::string(name) + "\": " + value;
        else
            latency += "  " + std::string(name) + " " + value;
    }
    if (opts_.json) {
        std::string text = "{";
        for (const Field &f : fields)
            text += "\"" + std::string(f.key) + "\": " + f.value + ", ";
        std::printf("%s\"latency_ms\": {%s}}\n", text.c_str(), latency.c_str());
    } else {
        for (const Field &f : fields)
            std::printf("%-14s%s\n", f.label, f.value.c_str());
        std::printf("latency (ms)%s\n", latency.c_str());
    }
    std::fflush(stdout);
}

}  // namespace

bool load_mode(const Options &opts)
{
    return (opts.count_set && opts.count > 1) || opts.parallel > 1 || opts.rate || opts.json ||
           opts.check_reply;
}

Status run_load(const Options &opts, Session &session, const std::vector<RequestPlan> &requests)
{
    // The tables are made before the loop runs: a failure here has nothing in flight.
    try {
        LoadRun run(opts, session, requests);
        return run.run();
    } catch (const std::bad_alloc &) {
        complain("out of memory for %d requests", opts.count);
        return kFailure;
    }
}

}  // namespace quelna::client
