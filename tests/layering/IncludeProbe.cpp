// Compiled, never run: includes one header (VELMORANT_PROBE_HEADER) in a target that links a
// chosen set of libraries, to show which headers the link graph lets through.
#include VELMORANT_PROBE_HEADER

int main() {
    return 0;
}
