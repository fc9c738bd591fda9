#include "prober/kovrin.h"

int main(int argc, char** argv) { return kovrin::run_kovrin(argc, argv); }
