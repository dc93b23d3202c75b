// Method definitions of the module functions on packed and multi-bit codes.
#pragma once

#include "python.h"

namespace mivo::py {

extern PyMethodDef kPackBinaryDef;
extern PyMethodDef kUnpackBinaryDef;
extern PyMethodDef kHammingDistanceDef;
extern PyMethodDef kAsymmetricInnerProductDef;
extern PyMethodDef kAsymmetricL2SquaredDef;
extern PyMethodDef kMultibitInnerProductDef;
extern PyMethodDef kBatchHammingDistancesDef;
extern PyMethodDef kBatchAsymmetricL2Def;

}  // namespace mivo::py
