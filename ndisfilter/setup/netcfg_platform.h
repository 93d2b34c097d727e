// The platform's network configuration and setup services, as this library
// uses them.
#pragma once

#include <windows.h>
#include <objbase.h>

#include <devguid.h>
#include <netcfgx.h>
#include <setupapi.h>

#include "product.h"

namespace ndisfilter {

// The on-behalf-of record for install and removal: all zero, by the user.
inline OBO_TOKEN UserOboToken() {
    OBO_TOKEN token = {};
    token.Type = OBO_USER;
    return token;
}

}  // namespace ndisfilter
