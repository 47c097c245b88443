// Cache of the cameras' XML descriptions ("XML/xmlinfo.ini" and the files).
#pragma once

namespace qelm {

void LoadXMLIndex();
// Frees every loaded description and empties the map.
void FreeXMLDescriptions();
// Frees the XML description download channel.
void FreeXMLChannel();

}  // namespace qelm
