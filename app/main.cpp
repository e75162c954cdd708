// velmora-host: the host as the desktop runs it.
#include "app/host_main.h"

int main(int argc, char** argv) { return velmora::hostMain(argc, argv); }
