// The page's files as a GResource bundle linked into the program.
#include <gio/gio.h>

#include <mutex>

#include "ui/resources.h"

extern "C" void quorvanta_register_resource(void);

namespace resources {

void RegisterResources() {
  static std::once_flag once;
  std::call_once(once, [] { quorvanta_register_resource(); });
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
