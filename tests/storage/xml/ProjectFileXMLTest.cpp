// The project-file suite on the XML layer: the stores are real files.
#include "tests/storage/xml/FileProjectStores.h"
#include "tests/storage/xml/ProjectFileSuite.h"

namespace kelvado::testing {

INSTANTIATE_TYPED_TEST_SUITE_P(XML, ProjectFiles, ::testing::Types<TXMLProjectStore>);

}  // namespace kelvado::testing
