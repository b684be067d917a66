#include "ui/resources.h"

#include <cstring>

namespace resources {

namespace {

const Resource kResources[] = {
    {"23", "MAIN.HTML", "/quorvanta/main.html", "text/html"},
    {"JS", "HTMLCONTROL.JS", "/quorvanta/JS/HtmlControl.js", "text/javascript"},
    {"JS", "EXTERNAL.JS", "/quorvanta/JS/external.js", "text/javascript"},
    {"IMGS", "LOGOGREEN.PNG", "/quorvanta/IMGS/logogreen.png", "image/png"},
    {"IMGS", "PROGRESSBAR.GIF", "/quorvanta/IMGS/progressbar.gif", "image/gif"},
    {"IMGS", "ARROW-DOWN-CIRCLE.PNG", "/quorvanta/IMGS/arrow-down-circle.png", "image/png"},
    {"IMGS", "ARROW-UP-CIRCLE.PNG", "/quorvanta/IMGS/arrow-up-circle.png", "image/png"},
    {"IMGS", "BANNER.JPG", "/quorvanta/IMGS/banner.jpg", "image/jpeg"},
};

// ASCII letters without regard to case: resource names are ASCII.
bool SameLetters(const char* a, const char* b) {
  for (;; ++a, ++b) {
    char x = *a, y = *b;
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
    if (x == '\0') return true;
  }
}

}  // namespace

const Resource* Resources(size_t* count) {
  *count = sizeof kResources / sizeof kResources[0];
  return kResources;
}

const Resource* FindResource(const char* path) {
  while (*path == '/') ++path;
  const char* slash = std::strchr(path, '/');
  char type[16];
  const char* name;
  if (!slash) {
    std::memcpy(type, "23", 3);
    name = path;
  } else {
    size_t len = static_cast<size_t>(slash - path);
    if (len == 0 || len >= sizeof type) return nullptr;
    std::memcpy(type, path, len);
    type[len] = '\0';
    name = slash + 1;
  }
  for (const Resource& r : kResources)
    if (SameLetters(r.type, type) && SameLetters(r.name, name)) return &r;
  return nullptr;
}

}  // namespace resources
