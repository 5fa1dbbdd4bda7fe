#include "program/walk.h"

#include "program/disk/tree.h"

namespace dravik {

NameRule platform_name_rule() {
    // No rule at all where every safe name can be created: the walk then
    // asks nothing per entry.
    if (!disk::names_can_be_refused()) return {};
    return [](const char* name) { return disk::name_problem(-1, name) == disk::NameProblem::none; };
}

}  // namespace dravik
