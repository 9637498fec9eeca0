// Linked with one layer's whole library and the layers it declares (tests/layout/CMakeLists.txt).
int main() {
    return 0;
}
