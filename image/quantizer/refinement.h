// Refinement of a learnt palette: its colours moved to the means of the pixels they stand for,
// and kept only when the picture maps to them with less error.
#pragma once

#include "image/colour_quantizer.h"

namespace quant {

// Moves each palette colour to the mean of the pixels mapped to it and maps again, a few
// times: the first move from the whole image, the later ones from every kRefinementRowStep-th
// row. Pixels are mapped by gamma-space distance while the means are taken in the pixels' own
// values, so a move can lose even though each mean alone cannot; the refined palette is kept
// only when the whole image maps to it with less squared error than to the learnt one, so
// refining never lowers the PSNR. The last mapping stays in mapped_rows when that holds the
// whole image. False when memory runs out.
bool RefinePalette(ColourQuantizer* q);

}  // namespace quant
