// Metadata <-> OpenEXR header attributes, as ImageWriter.h describes: key "exr/name" is the
// attribute "name", any other key is an attribute of the same name; lists of doubles use the
// attribute type "doublevector".
#pragma once

#include <Kx/Image/MetaData.h>

#include <OpenEXR/ImfHeader.h>

namespace Kestrel::IO {

// Registers the "doublevector" attribute type with OpenEXR (once per process); must run before
// a file is opened so that such attributes are read as lists rather than opaque data.
void registerExrAttributeTypes();

// Adds the header's non-structural attributes of known types to `metadata`.
void readExrAttributes(const Imf::Header& header, Kx::Image::MetaData::Bundle& metadata);

// Adds every value of `metadata` whose key does not name a structural attribute to `header`.
void writeExrAttributes(const Kx::Image::MetaData::Bundle& metadata, Imf::Header& header);

} // namespace Kestrel::IO
