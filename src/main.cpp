#include <cstdio>

int main() {
    std::fputs("usage: quorvel [-INSTALL | -UNINSTALL | -RUN]\n", stderr);
    return 0;
}
