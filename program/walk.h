// The walk the modes share lives in the library (dravik/archive.h's
// walk_entries); what the program adds is this platform's name rule.
#pragma once

#include "dravik/archive.h"

namespace dravik {

// This platform's rule for names a folder can hold, as far as it can be
// told without looking at the folder.
NameRule platform_name_rule();

}  // namespace dravik
