// -O: a file entry's data copied to standard output, in bounded memory
// (spliced or copied by the kernel where it can, as unpacking does).
#pragma once

#include <string>

#include "dravik/archive.h"
#include "program/disk/copy.h"

namespace dravik {

// False with `why` set when the data lies past the archive's end or could
// not be written.
bool copy_entry_to_stdout(const Archive& archive, disk::Copier& copier, const Entry& entry,
                          std::string* why);

}  // namespace dravik
