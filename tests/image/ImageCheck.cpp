#include "ImageCheck.h"

#include "ovISOCheck.h"
#include "ovSectorSource.h"

#include <cstdio>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace check_test {

int RunCommand(const std::string &command, std::string *output) {
  std::string text;
  FILE *p = popen((command + " 2>&1").c_str(), "r");
  if (!p)
    return -1;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0)
    text.append(buf, n);
  const int status = pclose(p);
  if (output)
    *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int CheckImageFile(const std::string &Image, std::string *Report, const std::string &Options) {
  iso::TCheckOptions options;
  bool quiet = false;
  std::istringstream words(Options);
  for (std::string w; words >> w;) {
    if (w == "--quiet")
      quiet = true;
    else if (w == "--session-start")
      words >> options.SessionStart;
  }
  std::string report;
  int rc = 0;
  TFileSectorSource source;
  std::string err;
  if (!source.Open(Image, err)) {
    report = err + "\n";
    rc = 2;
  } else {
    const iso::TCheckResult result = iso::CheckImage(source, options);
    report = iso::FormatReport(result, quiet);
    rc = result.Errors ? 1 : 0;
  }
  const std::string isocheck = SKARVO_SHARED_DIR "/tools/isocheck.py";
  if (access(isocheck.c_str(), R_OK) == 0) {
    const int second = RunCommand("python3 '" + isocheck + "' " + Options + " '" + Image + "'", &report);
    if (rc == 0)
      rc = second;
  } else {
    static bool told = false;
    if (!told)
      std::fprintf(stderr, "skipped: isocheck.py not found in %s (our own checker still ran)\n", SKARVO_SHARED_DIR);
    told = true;
    report += "skipped: isocheck.py not found\n";
  }
  if (Report)
    *Report = report;
  return rc;
}

} // namespace check_test
