// How the connection exports make their connection objects. Tests put in a maker that
// fails, to see an allocation failure handled; nothing outside the library reaches it.
#pragma once

#include <cstdint>
#include <memory>

namespace zykim {

class CIMProxy;

// Makes a connection object; may throw std::bad_alloc.
using PFN_CREATE_PROXY = std::shared_ptr<CIMProxy> (*)(int32_t nHostValue, int32_t nAppSocket);

// Replaces the maker (null: the plain one) and returns the one before.
PFN_CREATE_PROXY SetProxyFactory(PFN_CREATE_PROXY pfnCreate);

}  // namespace zykim
