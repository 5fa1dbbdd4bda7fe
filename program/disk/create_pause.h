// A pause for the tests that interrupt a run between creating a file and
// guarding it: there, and only there, the run can be made to wait, so that
// an interrupt lands in that window at will. Interrupts are held during the
// window, so a pause changes nothing but the timing.
//
// The shipped program links create_pause_none.cpp and never waits; the
// build the tests start, dravik_test_hooks, links create_pause_test.cpp.
#pragma once

namespace dravik::disk {

// Called by guard_partial_file before it guards the file just created.
void create_pause();

}  // namespace dravik::disk
