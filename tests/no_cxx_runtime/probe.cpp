// operator new is the C++ library's on every toolchain.
#include <new>

int main() {
    int* value = new int(1);
    return *value;
}
