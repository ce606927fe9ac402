#include "service/service.h"

int main(int argc, char** argv) { return RelayMain(argc, argv); }
