// quelna-client: sends RADIUS requests through libquelna and prints the answers.
#include <csignal>
#include <cstdio>
#include <vector>

#include "client.h"

using namespace quelna::client;

int main(int argc, char **argv)
{
    // A stream the server closed must end in an error code, not in a signal.
    std::signal(SIGPIPE, SIG_IGN);

    Options opts;
    bool done = false;
    if (Status s = parse_options(argc, argv, &opts, &done); s != kPositive || done)
        return s;
    StderrMute::enable(!opts.verbose);
    // The codec's echo of every refused packet would let a server fill standard error; each
    // failure is reported once, with the library's message, unless -v asks for everything.
    lr_strerror_echo(opts.verbose ? 1 : 0);
    if (Status s = load_dictionaries(opts); s != kPositive)
        return s;
    if (Status s = read_secrets(&opts); s != kPositive)
        return s;

    // The configuration comes first: the dictionaries it names give the requests their names.
    // Every request is read and checked before the first one is sent.
    Session session;
    if (Status s = session.open(opts); s != kPositive)
        return s;
    std::vector<RequestPlan> requests;
    if (Status s = build_requests(opts, &requests); s != kPositive)
        return s;
    if (Status s = session.start(); s != kPositive)
        return s;
    if (load_mode(opts))
        return run_load(opts, session, requests);

    Status worst = kPositive;
    for (size_t i = 0; i < requests.size(); i++) {
        if (i > 0 && !opts.quiet)
            std::putchar('\n');
        Status s = exchange(opts, session, requests[i]);
        if (s > worst)
            worst = s;
    }
    std::fflush(stdout);
    return worst;
}
