#include "data_wrappers/metadata.h"

namespace bass {
namespace data_wrappers {

Metadata::Metadata(MapWrapper&& values, const Schema& schema) : MapWrapper(std::move(values)) {
    if (!schema.empty()) {
        validate(schema, true);
    }
}

}  // namespace data_wrappers
}  // namespace bass
