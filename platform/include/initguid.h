// Host platform layer: makes DEFINE_GUID define the ids (as weak symbols, the
// host's counterpart of selectany) in the file that includes this first.
#pragma once

#define INITGUID
#ifdef DEFINE_GUID
#undef DEFINE_GUID
#endif
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    EXTERN_C const GUID DECLSPEC_SELECTANY name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
