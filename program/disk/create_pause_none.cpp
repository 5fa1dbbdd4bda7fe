// The shipped program: no pause, and nothing read from the environment.
#include "program/disk/create_pause.h"

namespace dravik::disk {

void create_pause() {}

}  // namespace dravik::disk
