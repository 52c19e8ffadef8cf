// Runs a shell command as a person would, for the tests of the programs.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <string>

struct ToolRun {
  int status = -1;     // exit code, or -1 when the command did not exit
  std::string output;  // what it wrote to stdout (add "2>&1" for stderr too)
};

inline ToolRun RunCommand(const std::string& command) {
  ToolRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return run;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}
