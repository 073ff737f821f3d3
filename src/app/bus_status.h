// Whether joining the bus got the relay onto one.
//
// The classic Ivy library's IvyStart returns nothing and cannot say; ours
// tells how many addresses it announced on. The build looks for that
// extension and compiles one of two bodies (bus_status_announced.cpp or
// bus_status_classic.cpp), so the relay's other sources stay the same
// against either library.
#pragma once

// After IvyStart: false only when the library is known to have found no
// usable bus address (it has reported why). Against the classic library,
// which cannot tell, always true.
bool bus_joined();
