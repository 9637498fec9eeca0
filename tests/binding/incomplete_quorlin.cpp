// Stand-ins for libquorlin.so. Built twice: without vbReadIrCom, binding must fail as a whole; with it
// (OLDER_QUORLIN), the library has the five entry points Gathra needs but no IrComState, as a library
// from before unplugged devices were told apart.
#include <cstdint>

extern "C" {
__attribute__((visibility("default"))) int32_t vbOpenIrCom(int32_t, int32_t, int32_t) {
    return 1;
}
__attribute__((visibility("default"))) int32_t ClearIrCom() {
    return 0;
}
__attribute__((visibility("default"))) int32_t WriteIrCom(const char*) {
    return 1;
}
__attribute__((visibility("default"))) int32_t CloseIrCom() {
    return 0;
}
#ifdef OLDER_QUORLIN
__attribute__((visibility("default"))) int32_t vbReadIrCom(char*) {
    return -1;
}
#endif
}
