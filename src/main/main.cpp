#include "main/app.hpp"

int main(int argc, char** argv) { return korvex::run_main(argc, argv); }
