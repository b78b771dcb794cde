// korvane-comhost: the host process of one COM+ server application, started
// by the platform on the first activation of one of its classes (see
// platform/complus/host.h); not meant to be run by hand.
#include "platform/complus/host.h"

int main(int argc, char** argv) { return korvane::complus::host::runHost(argc, argv); }
