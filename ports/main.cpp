// dorvalix-ports: lists every serial port on the machine (see ports/ports.h).
#include "ports.h"

int main(int argc, char* argv[]) { return PortsMain(argc, argv, "/", stdout, stderr); }
