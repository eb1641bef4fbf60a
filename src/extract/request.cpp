#include "extract/request.hpp"

namespace lumira {

std::optional<int> requestedExtendType(std::string_view dimensions) {
    if (dimensions == "2D") return codes::extendPlain;
    if (dimensions == "3D") return codes::extend3D;
    return std::nullopt;
}

std::optional<int> requestedDerivType(std::string_view deriv) { return requestedDerivativeCode(deriv); }

namespace {

bool sampleMatches(int entrySample, int requested) { return requested == codes::anySample || entrySample == requested; }

// An instrument block serves a request for its own sample type; one with
// sample type 0 also serves requests for type 1 or any type.
bool instrumentServes(int entrySample, int requested) {
    if (entrySample == requested) return true;
    return entrySample == 0 && (requested == 1 || requested == codes::anySample);
}

}  // namespace

LocatedBlocks locateBlocks(const Directory& directory, const RequestCodes& request) {
    LocatedBlocks found;
    for (const DirectoryEntry& entry : directory) {
        const BlockTypeFields& f = entry.btt;
        const std::int64_t offset = entry.byteOffset;
        const bool sameBlockKind = f.dataType == request.dataType && f.extendType == request.extendType &&
                                   sampleMatches(f.sampleType, request.sampleType);
        if (sameBlockKind && f.derivType == request.derivType) {
            if (f.paramType == codes::dataBlock) found.offsetToData = offset;
            if (f.paramType == codes::dataParameters) found.offsetToParams = offset;
        } else if (sameBlockKind && f.derivType == 0) {
            if (f.paramType == codes::dataParameters) found.offsetToOriginalParams = offset;
        } else if (f.paramType == codes::acquisitionParameters) {
            found.offsetToAcqParams = offset;
        } else if (f.paramType == codes::instrumentParameters) {
            if (instrumentServes(f.sampleType, request.sampleType)) found.offsetToInstParams = offset;
        } else if (f.paramType == codes::sampleParameters) {
            found.offsetToSampleParams = offset;
        } else if (f.paramType == codes::ftParameters) {
            found.offsetToFTParams = offset;
        } else if (f.extendType == codes::extendAnnotation) {
            found.offsetToANNO = offset;
        }
    }
    return found;
}

}  // namespace lumira
