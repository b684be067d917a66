#pragma once
// The host name of a web-site address, for the tray's "Visit <host>" item.
#include <cstddef>

// Copies the host of site ("http://user@www.example.com:8080/x" gives
// "www.example.com"; an address without a scheme is taken as starting with
// the host) into host, truncated to size - 1 characters; "" when there is none.
void SiteHostName(const char* site, char* host, size_t size);
