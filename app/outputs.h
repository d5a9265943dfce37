// The files a run writes: the check that none of them replaces an input or
// another output.
#ifndef VANTOR_APP_OUTPUTS_H
#define VANTOR_APP_OUTPUTS_H

#include <string>
#include <vector>

namespace vantor::app {

// An output of the run and how messages name it ("--csv=a.csv").
struct NamedOutput {
  std::string path;
  std::string label;
};

// Compares every output with the inputs and with the outputs before it by the
// file each path is (device and inode of an existing file, else the path with
// its folders resolved). Returns one line naming both files of the first
// clash, or "" when there is none.
std::string FindOutputClash(const std::vector<std::string>& inputs,
                            const std::vector<NamedOutput>& outputs);

}  // namespace vantor::app

#endif
