#pragma once
// The OS headers that declare getaddrinfo and struct addrinfo.
#if defined(_WIN32)
// Lean: the full windows.h brings wincrypt.h, whose X509_NAME and similar
// macros break OpenSSL's types; NOMINMAX keeps std::min and std::max usable.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif
