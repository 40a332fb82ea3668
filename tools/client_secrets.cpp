// The shared secret and the password of quelna-client from where the options point: a file,
// standard input or an environment variable, so that they need not show in the process list.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client.h"

namespace quelna::client {
namespace {

/** Frees a getline buffer, overwriting what it held first. */
struct LineBuffer {
    char *text = nullptr;
    size_t cap = 0;
    ~LineBuffer()
    {
        if (text)
            explicit_bzero(text, cap);
        std::free(text);
    }
};

/** The next line of f without its line end into *out; false with the reason in *why. */
bool read_line(std::FILE *f, const std::string &shown, const char *what, std::string *out,
               std::string *why)
{
    LineBuffer line;
    errno = 0;
    ssize_t len = getline(&line.text, &line.cap, f);
    if (len < 0 && std::ferror(f)) {
        *why = "cannot read " + std::string(what) + " from " + shown + ": " +
               std::strerror(errno ? errno : EIO);
        return false;
    }
    out->assign(line.text ? line.text : "", len > 0 ? static_cast<size_t>(len) : 0);
    while (!out->empty() && (out->back() == '\n' || out->back() == '\r'))
        out->pop_back();
    if (out->empty()) {
        *why = "no " + std::string(what) + " on the " +
               (f == stdin ? "next line of " : "first line of ") + shown;
        return false;
    }
    return true;
}

/** The secret of one option form: a file ("-": standard input) or an environment variable. */
bool read_from(const std::string &file, const std::string &env, const char *what,
               std::string *out, std::string *why)
{
    if (!env.empty()) {
        const char *value = std::getenv(env.c_str());
        if (!value || !*value) {
            *why = "environment variable " + env + " holds no " + what;
            return false;
        }
        out->assign(value);
        return true;
    }
    if (file == "-")
        return read_line(stdin, "standard input", what, out, why);
    std::FILE *f = std::fopen(file.c_str(), "r");
    if (!f) {
        *why = "cannot read " + std::string(what) + " file " + file + ": " + std::strerror(errno);
        return false;
    }
    bool ok = read_line(f, file, what, out, why);
    std::fclose(f);
    return ok;
}

}  // namespace

Status read_secrets(Options *o)
{
    std::string why;
    // Standard input gives the secret's line first, then the password's.
    if (!o->secret_file.empty() || !o->secret_env.empty()) {
        if (!read_from(o->secret_file, o->secret_env, "secret", &o->secret.emplace(), &why)) {
            complain("%s", why.c_str());
            return kUsage;
        }
    }
    if (!o->password_file.empty() || !o->password_env.empty()) {
        if (!read_from(o->password_file, o->password_env, "password", &o->password, &why)) {
            complain("%s", why.c_str());
            return kUsage;
        }
    }
    return kPositive;
}

}  // namespace quelna::client
