// CStringTokenizer: the console's splitter of reply lines and fields. It is the engine's
// tokenizer: NextToken skips a run of delimiters and returns the run of other bytes after it, so
// empty fields between two delimiters are skipped; NextTokenWith does the same with another
// delimiter set for one call.
#pragma once

#include "foundation/ssp_tokenizer.h"

using CStringTokenizer = CSspTokenizer;
