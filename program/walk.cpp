#include "program/walk.h"

#include "program/disk/tree.h"

namespace dravik {

NameRule platform_name_rule() {
    return [](const char* name) { return disk::name_problem(-1, name) == disk::NameProblem::none; };
}

}  // namespace dravik
