// Sub-commands of the kvnet command-line client.
#pragma once

namespace kvnet {

// Runs the end-to-end demonstration; returns the process exit code.
int RunDemo(int argc, char** argv);

}  // namespace kvnet
