#include "session.h"

int main(int argc, char* argv[]) { return RunDorvalix(argc, argv); }
