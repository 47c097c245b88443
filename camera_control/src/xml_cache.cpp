#include "xml_cache.h"

namespace qelm {

// Not built yet: the XML descriptions and their download channel come later;
// until then there is no index to load and nothing to free.
void LoadXMLIndex() {}
void FreeXMLDescriptions() {}
void FreeXMLChannel() {}

}  // namespace qelm
