#include "ui/resources.h"

#include <gio/gio.h>
#include <strings.h>

#include <cstring>
#include <mutex>

extern "C" void quorvanta_register_resource(void);

namespace resources {

void RegisterResources() {
  static std::once_flag once;
  std::call_once(once, [] { quorvanta_register_resource(); });
}

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

}  // namespace

const Resource* FindResource(const char* path) {
  while (*path == '/') ++path;
  const char* slash = std::strchr(path, '/');
  char type[16];
  const char* name;
  if (!slash) {
    std::strcpy(type, "23");
    name = path;
  } else {
    size_t len = static_cast<size_t>(slash - path);
    if (len == 0 || len >= sizeof type) return nullptr;
    std::memcpy(type, path, len);
    type[len] = '\0';
    name = slash + 1;
  }
  for (const Resource& r : kResources)
    if (strcasecmp(r.type, type) == 0 && strcasecmp(r.name, name) == 0) return &r;
  return nullptr;
}

const void* ResourceData(const Resource& resource, size_t* size) {
  GBytes* bytes = g_resources_lookup_data(resource.path, G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
  if (!bytes) return nullptr;
  gsize length = 0;
  const void* data = g_bytes_get_data(bytes, &length);
  *size = length;
  // The bundle is static data linked into the program: the bytes outlive this reference.
  g_bytes_unref(bytes);
  return data;
}

}  // namespace resources
