// The project-file suite on the XMLLight layer: the stores are real XML-light files.
#include "tests/storage/xml/FileProjectStores.h"
#include "tests/storage/xml/ProjectFileSuite.h"

namespace kelvado::testing {

INSTANTIATE_TYPED_TEST_SUITE_P(XMLLight, ProjectFiles, ::testing::Types<TXMLLightProjectStore>);

}  // namespace kelvado::testing
