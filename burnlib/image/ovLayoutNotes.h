// Notes on a compilation that the command line and the window both show
// before it is written.
#pragma once

#include <string>

class TOrvBurner;
struct TInsertNote;

// One line when Joliet names of the compilation are longer than a Joliet
// record holds and so shortened there: how many, the first one's path, and
// whether Rock Ridge keeps them whole. Empty when there is none.
std::string JolietCutNote(const TOrvBurner &b);

// The line for a source whose name was changed to fit the image (shortened
// without Rock Ridge, or numbered beside a twin): `path stored as "name"`.
std::string RenamedNote(const TInsertNote &n);

// One line for the renamed sources of the compilation: the first one's
// RenamedNote, with how many there are when more than one. Empty when none.
std::string RenamedSummary(const TOrvBurner &b);

// The notes above as one line, for a window's question and result line.
std::string CompilationNote(const TOrvBurner &b);
