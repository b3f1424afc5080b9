// The library's own definition of a function the application defines in
// front of it (job_order.cpp, printer_attributes.cpp, privacy.cpp, render.cpp).
#pragma once

#include <dlfcn.h>

namespace quillet::app {

template <typename Function>
Function next_definition(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace quillet::app
