#pragma once
// <arpa/inet.h> for the tests of the Windows build: Winsock has inet_pton and
// inet_ntop (Vista and later) and the AF_ constants under other headers.
#include <winsock2.h>
#include <ws2tcpip.h>
