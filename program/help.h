// The texts the program prints about itself: its title, the banner that a
// bare `dravik` prints, and the option summary of --help.
#pragma once

namespace dravik {

extern const char kTitle[];
extern const char kBanner[];
extern const char kOptions[];

}  // namespace dravik
