// Fuzz target for the run-time dictionary loader: whatever a file holds is either loaded or
// refused with -QNE_CONFIG and a "FILE:LINE: message"; never a crash, a hang or a leak. A refused
// file publishes nothing, and a file that loads loads again unchanged (the same definitions
// twice are no conflict).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "quelna/codec.h"
#include "scratch_file.h"

using quelna::fuzz::check;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    lr_strerror_echo(0);  // refused files are the common case: keep their messages off the log
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    quelna::fuzz::write_scratch(data, size);
    const char *const path = quelna::fuzz::scratch_path();
    const int r = lr_dict_load(path);
    lr_dict_counts after;
    lr_dict_load_counts(&after);
    if (r != 0) {
        check(r == -QNE_CONFIG || r == -QNE_NOMEM, "unexpected code");
        check(after.attributes == 0 && after.vendors == 0 && after.values == 0,
              "a refused file published definitions");
        check(r == -QNE_NOMEM || std::strncmp(lr_strerror(), path, std::strlen(path)) == 0,
              "message without the file");
        return 0;
    }
    check(lr_dict_load(path) == 0, "a file that loaded is refused the second time");
    lr_dict_counts again;
    lr_dict_load_counts(&again);
    check(again.attributes == after.attributes && again.values == after.values &&
              again.vendors == after.vendors,
          "loading the same file twice added names");
    lr_dict_unload_all();  // each input starts from the built-in dictionary
    return 0;
}
