// routersim: plays a router in recovery mode against the recovery server.
#include <cstdio>

#include "tools/routersim/RouterSim.h"

int main(int argc, char** argv) {
  routersim::Options options;
  bool help = false;
  std::string error;
  if (!routersim::ParseOptions({argv + 1, argv + argc}, options, help, error)) {
    std::fprintf(stderr, "routersim: %s\n%s", error.c_str(), routersim::Usage().c_str());
    return 2;
  }
  if (help) {
    std::fputs(routersim::Usage().c_str(), stdout);
    return 0;
  }
  return routersim::Run(options, stdout);
}
