#pragma once
// The host name of a web-site address, for the tray's "Visit <host>" item.
#include <cstddef>

// Copies the host of site ("http://user@www.example.com:8080/x" gives
// "www.example.com"; an address without a scheme is taken as starting with
// the host) into host, truncated to size - 1 characters; "" when there is none.
void SiteHostName(const char* site, char* host, size_t size);

// The address the "Visit <host>" item opens: "http://<host>/", whatever scheme,
// port or path the site base has, so it is the page the label names. false
// (and "") when the site has no host or the address does not fit in size.
bool SiteHomeAddress(const char* site, char* address, size_t size);
