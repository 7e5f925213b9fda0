// corvo: a two-port link emulator.  Everything but this file lives in the
// library corvo_state, so that the tests can reach it.
#include "corvo/options.hpp"

int main(int argc, char** argv) { return corvo_run(argc, argv); }
