// Parameter check report of the Diffie-Hellman module, shared by both create operations.
#pragma once

#include <cstdio>

namespace quelna::dh {

/**
 * Writes the report of one DH_check flag word to `out`: nothing for 0, otherwise
 * "Warning: dh_check failed with <flags>" followed by the text of the first problem bit found
 * (prime, safe prime, generator check, generator), or by a lone newline when none of them is set.
 */
void write_check_report(std::FILE *out, int flags);

}  // namespace quelna::dh
