// Whether a server of this program can serve its peers on an address the
// operator gave: an IP literal of one of this machine's interfaces, or the
// address that stands for all of them (0.0.0.0, ::). Used by the option
// checks before anything listens; any thread.
#pragma once

#include <string>
#include <string_view>

// "" when literal is such an address; otherwise what is wrong with it, to
// follow the literal in a sentence ("is a multicast address"). With
// missingIsFine an address that no interface has now is taken (a restarted
// instance during a link flap: its listeners bind the address freely).
std::string ListenAddressProblem(std::string_view literal, bool missingIsFine);
