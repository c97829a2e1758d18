// JNI entry points of tessora.streaming.rtmpdump.TavrelExt: the exports
// beyond the classic surface, under the same rules as TavrelJNI.cpp (thin,
// stateless, no Java exception, handles <= 0 never dereferenced).
#include "JniSupport.h"
#include "Tavrel.h"
#include "TavrelContext.h"

extern "C" {

} // extern "C"
