// A stand-in for libquorlin.so that lacks vbReadIrCom: binding it must fail as a whole.
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
}
