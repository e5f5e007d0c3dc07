#pragma once

namespace korvex {

// The whole program: command line, start-up, then the chat turn or the server.
// Returns the exit status; a fatal stop on this thread gives 101.
int run_main(int argc, char** argv);

}  // namespace korvex
