// Checks image files the tests build: our own structural checker always, and
// the shared isocheck.py as a second opinion where that folder exists.
#pragma once

#include <string>

namespace check_test {

// Options: "--quiet" leaves warnings out of the report, "--session-start N"
// checks the session whose descriptors are at N + 16. Returns 0 when every
// checker that ran found no error; the report holds each one's output.
// Runs a shell command; its exit status, with stdout and stderr in output.
int RunCommand(const std::string &command, std::string *output = nullptr);

int CheckImageFile(const std::string &Image, std::string *Report, const std::string &Options = "");

} // namespace check_test
