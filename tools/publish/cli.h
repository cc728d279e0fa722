// The velm-publish command line, kept apart from main() so tests can drive it in-process.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace velm {

// arguments excludes the program name. Results go to out, every failure to err. Returns the
// exit code: 0 done, 1 refused or failed, 2 the command line is wrong.
int runPublishTool(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err);

}  // namespace velm
