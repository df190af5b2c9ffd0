// Notes on a compilation that the command line and the window both show
// before it is written.
#pragma once

#include <string>

class TOrvBurner;

// One line when Joliet names of the compilation are longer than a Joliet
// record holds and so shortened there: how many, the first one's path, and
// whether Rock Ridge keeps them whole. Empty when there is none.
std::string JolietCutNote(const TOrvBurner &b);
