// operator new is the C++ library's on every toolchain; the pointer escapes, so that no
// compiler may leave the call out.
#include <new>

void* volatile sink = nullptr;

int main() {
    sink = ::operator new(1);
    return 0;
}
