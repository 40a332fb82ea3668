// Arithmetic on struct timeval values (retransmission deadlines and timeouts).
#include <quelna/codec.h>

extern "C" {

void lr_timeval_add(struct timeval *tv, uint32_t seconds, uint32_t usec) {
    tv->tv_sec += static_cast<time_t>(seconds) + usec / 1000000;
    tv->tv_usec += usec % 1000000;
    // Both parts were below 1000000, so one carry suffices.
    if (tv->tv_usec >= 1000000) {
        tv->tv_sec += 1;
        tv->tv_usec -= 1000000;
    }
}

int lr_timeval_cmp(const struct timeval *a, const struct timeval *b) {
    const int64_t as = a->tv_sec, bs = b->tv_sec;
    if (as != bs) return as > bs ? 1 : -1;
    const int64_t au = a->tv_usec, bu = b->tv_usec;
    if (au != bu) return au > bu ? 1 : -1;
    return 0;
}

}  // extern "C"
