#include "wenlo/replay.hpp"

int main(int argc, char** argv) {
    return wenlo::wenlo_run(argc, argv);
}
