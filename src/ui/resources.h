#pragma once
// The page's resources compiled into the program, addressed as
// res://<program path>/<type>/<name> (the page itself: res://<program path>/main.html).
#include <cstddef>

namespace resources {

struct Resource {
  const char* type;  // "23" (the HTML page), "JS", "IMGS", "ICO"
  const char* name;  // upper case, as the resource is named
  const char* path;  // the path in the compiled bundle, below the page's folder in the tree
  const char* mime;
};

// Every file of the page, the page first.
const Resource* Resources(size_t* count);

// Makes the compiled bundle reachable (once per process; later calls do nothing).
void RegisterResources();

// The resource that a decoded request path names, or null. path is the part
// after the program's own path (leading "/" optional); a single element is
// the HTML type; type and name match without regard to case.
const Resource* FindResource(const char* path);

// The resource's bytes from the compiled bundle (null when missing).
const void* ResourceData(const Resource& resource, size_t* size);

// The first bridge path: requests to it are script calls, not resources.
inline constexpr const char* kExternalPath = "/~external";

}  // namespace resources
