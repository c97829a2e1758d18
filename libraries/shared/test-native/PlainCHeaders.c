/* Compiled as C with only these headers' own include paths: none of them
 * may need C++ or <jni.h>. */
#include "Adts.h"
#include "H264.h"
#include "Mirabe.h"
#include "NALU.h"
#include "Ostrel.h"
#include "Quorlen.h"

#ifdef _JAVASOFT_JNI_H_
#error "a plain C header pulled in <jni.h>"
#endif
