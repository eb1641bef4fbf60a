#include "results/texts.hpp"

#include <algorithm>

namespace lumira::results {

const std::string_view baseDescription =
    "This object contains:\n"
    "\tdimension of file (.dimension)\n"
    "\tdata block type (.dataType)\n"
    "\tderivative type (.derivative)\n"
    "\tdictionary of parameters with parameter name then value (.parameters)\n"
    "\tspectrum x coordinates (.x)\n"
    "\tminimum and maximum y values (.minY and .maxY)\n";

namespace {

constexpr std::string_view ndarray = ":obj:`ndarray`";
constexpr std::string_view strList = ":obj:`list` of :obj:`str`";
constexpr std::string_view regionList = ":obj:`list` of :obj:`Region`";

constexpr std::string_view mapGrid =
    "\t\t\tMap x\n"
    "\t\t  x1  x2  x3  x4...xn\n"
    "Map y\t\ty1\n"
    "\t\ty2\n"
    "\t\ty3\n"
    "\t\t.\n"
    "\t\t.\n"
    "\t\tyn\n"
    "\t\n";

const std::string imageAddition =
    std::string(
        "\tx mapping coordinates (.mapX)\n"
        "\ty mapping coordinates (.mapY)\n"
        "\t3D numpy array containing the spectrum associated with the x and y mapping coordinates (.spectra)\n") +
    std::string(mapGrid) + "\taccess the spectrum with returnedObject.spectra[row][column]\n";

const std::string imageTraceAddition =
    std::string(
        "\tx mapping coordinates (.mapX)\n"
        "\ty mapping coordinates (.mapY)\n"
        "\ta list containing the names of the trace blocks (.labels)\n"
        "\t3D numpy array containing the trace values associated with the x and y mapping coordinates (.traces)\n") +
    std::string(mapGrid) + "\taccess the trace maps with returnedObject.traces[:,:,label index]\n";

// The regions list and the first three Region attributes, alike in both
// multi-region descriptions.
constexpr std::string_view regionListHead =
    "\tlist of regions (.regions)\n"
    "\n"
    "\teach region is a Region object containing:\n"
    "\t\tdescription of region (title)\n"
    "\t\tx mapping coordinates array (mapX)\n"
    "\t\ty mapping coordinates array (mapY)\n";

const std::string multiRegionAddition = std::string(regionListHead) +
                                        "\t\ttimestamps of spectrum acquisition array (start_time)\n"
                                        "\t\t2D array containing spectra in the region (spectra)\n"
                                        "\t\taccess a spectrum with\n"
                                        "\t\t\treturnedObject.regions[region index].spectra[row]";

const std::string multiRegionTraceAddition = "\ta list containing the names of the trace blocks (.labels)\n" +
                                             std::string(regionListHead) +
                                             "\t\t2D array containing traces in the region (spectra)\n"
                                             "\t\taccess the traces for a position with\n"
                                             "\t\t\treturnedObject.regions[region index].spectra[row]";

constexpr std::string_view multiRegionParagraphs[] = {
    "Hyperspectral multiregion point map(s) returned by .getOpusData() for\n"
    "    multiregion 3D point mapping datablocks.",
    "Maps are _not_ guaranteed to be perfect XY grids and so spectral coordinates\n"
    "    cannot be specfied by origin point and dx/dy values as in :class:ImageDataReturn.",
};

std::vector<AttributeDoc> baseAttributes(std::string_view xMeaning) {
    return {
        {"description", "str", {"Description of the data object attributes"}},
        {"dimension", "str", {"Datablock dimensions (2D or 3D)"}},
        {"dataType", "str", {"The datablock type (AB, TR, SSC, etc)"}},
        {"derivative", "str", {"Datablock derivative (NONE, 1DER, 2DER, NDER)"}},
        {"parameters", "dict", {"Dictionary of relevant data/sample/instrument parameters"}},
        {"x", ndarray, {xMeaning}},
        {"minY", "float", {"Minimum y value"}},
        {"maxY", "float", {"Maximum y value"}},
    };
}

std::vector<AttributeDoc> withBase(std::vector<AttributeDoc> own,
                                   std::string_view xMeaning = "1D numpy array of spectrum x coordinates") {
    auto all = baseAttributes(xMeaning);
    all.insert(all.end(), own.begin(), own.end());
    return all;
}

const AttributeDoc mapXDoc{"mapX", ndarray, {"1D numpy array of X map coordinates"}};
const AttributeDoc mapYDoc{"mapY", ndarray, {"1D numpy array of Y map coordinates"}};

std::vector<ClassTexts> makeClassTexts() {
    std::vector<ClassTexts> all;
    all.push_back({"BaseDataReturn",
                   false,
                   {"dimension", "dataType", "deriv", "parameters", "x", "minY", "maxY"},
                   false,
                   {"Base class for data object returned by .getOpusData()."},
                   withBase({}),
                   ""});
    all.push_back({"SingleDataReturn",
                   true,
                   {"y"},
                   true,
                   {"Single spectrum data object returned by .getOpusData() for 2D datablocks."},
                   withBase({{"y", ndarray, {"1D numpy array of y values"}}}),
                   "\ty data points (.y)\n"});
    all.push_back(
        {"ImageDataReturn",
         true,
         {"mapX", "mapY", "spectra"},
         true,
         {"Hyperspectral data object returned by .getOpusData() for 3D image datablocks."},
         withBase({mapXDoc,
                   mapYDoc,
                   {"spectra", ndarray, {"3D numpy array of spectral maps,", "indexed spectra[row][column][x]"}}}),
         imageAddition});
    all.push_back({"ImageTRCDataReturn",
                   true,
                   {"mapX", "mapY", "labels", "traces"},
                   true,
                   {"Map(s) of a single spectral feature/integral/calculation returned by\n"
                    "    .getOpusData() for 3D image TRC datablocks."},
                   withBase({mapXDoc,
                             mapYDoc,
                             {"labels", strList, {"List of trace block names"}},
                             {"traces",
                              ndarray,
                              {"3D numpy array of trace maps with", "the same index as labels: traces[:,:,index]"}}}),
                   imageTraceAddition});
    all.push_back(
        {"TimeResolvedDataReturn",
         true,
         {"z", "spectra"},
         true,
         {"Time-resolved spectra data object returned by .getOpusData() for 3D-TRS datablocks.",
          "Z Axis units are available from dataObject.parameters['ZTX']"},
         withBase({{"z", ndarray, {"1D numpy array of z (time) axis coordinates"}},
                   {"spectra", ndarray, {"2D numpy array of spectral time series,", "indexed spectra[z][x]"}}}),
         "\tz (time) axis coordinates (.z)\n"
         "\t2D numpy array containing the spectrum associated with the z time coordinates (.spectra)\n"
         "\taccess the spectrum with returnedObject.spectra[z]\n"});
    all.push_back(
        {"TimeResolvedTRCDataReturn",
         true,
         {"labels", "traces"},
         true,
         {"Time-resolved trace data object returned by .getOpusData() for 3D-TRS TRC datablocks.",
          "x axis units are available from dataObject.parameters['DXU']"},
         withBase({{"labels", strList, {"List of trace names"}},
                   {"traces", ndarray, {"2D numpy array of traces with", "the same index as labels: traces[index]"}}},
                  "1D numpy array of trace x coordinates"),
         "\ta list containing the names of the trace blocks (.labels)\n"
         "\t2D numpy array containing trace values (.traces)\n"
         "\taccess the trace with returnedObject.traces[label index]\n"});
    all.push_back({"MultiRegionDataReturn",
                   true,
                   {"regions"},
                   true,
                   {multiRegionParagraphs[0], multiRegionParagraphs[1]},
                   withBase({{"regions",
                              regionList,
                              {"List of regions.", "    regions[0].title (str): description of region",
                               "    regions[0].mapX (ndarray): X map coordinates",
                               "    regions[0].mapY (ndarray): Y map coordinates",
                               "    regions[0].start_time (ndarray): timestamps of spectrum acquisition",
                               "    regions[0].spectra (ndarray): 2D array of the region's spectra, accessed with",
                               "        returnedObject.regions[region index].spectra[row]"}}}),
                   multiRegionAddition});
    all.push_back({"Region",
                   false,
                   {"title", "mapX", "mapY", "start_time", "spectra"},
                   false,
                   {"Returned as part of a :class:MultiRegionDataReturn."},
                   {{"title", "str", {"description of region"}},
                    {"mapX", "ndarray", {"1D numpy array of X map coordinates"}},
                    {"mapY", "ndarray", {"1D numpy array of Y map coordinates"}},
                    {"start_time", "ndarray", {"timestamps of spectrum acquisition array"}},
                    {"spectra", "ndarray", {"2D numpy array of spectra, one row per point,", "indexed spectra[row]"}}},
                   ""});
    all.push_back({"MultiRegionTRCDataReturn",
                   true,
                   {"labels", "regions"},
                   true,
                   {multiRegionParagraphs[0], multiRegionParagraphs[1]},
                   withBase({{"labels", strList, {"List of trace block names"}},
                             {"regions",
                              regionList,
                              {"List of regions.", "    regions[0].title (str): description of region",
                               "    regions[0].mapX (ndarray): X map coordinates",
                               "    regions[0].mapY (ndarray): Y map coordinates",
                               "    regions[0].spectra (ndarray): 2D array of trace values, accessed with",
                               "        returnedObject.regions[region index].spectra[row];",
                               "        the index of the resulting array corresponds to the .labels index"}}}),
                   multiRegionTraceAddition});
    return all;
}

}  // namespace

const std::vector<ClassTexts>& classTexts() {
    static const std::vector<ClassTexts> all = makeClassTexts();
    return all;
}

std::string buildDocstring(const ClassTexts& texts) {
    constexpr std::size_t indent = 4;
    std::string doc = "\n";
    for (std::string_view paragraph : texts.paragraphs) {
        doc.append(indent, ' ').append(paragraph).append("\n\n");
    }
    doc.append(indent, ' ').append("Attributes:\n");

    std::size_t width = 0;
    for (const auto& attribute : texts.attributes)
        width = std::max(width, attribute.name.size() + attribute.type.size() + 4);
    for (const auto& attribute : texts.attributes) {
        std::string head = std::string(attribute.name) + " (" + std::string(attribute.type) + "):";
        head.resize(width + 1, ' ');
        doc.append(2 * indent, ' ').append(head);
        bool first = true;
        for (std::string_view line : attribute.meaning) {
            if (!first) doc.append(2 * indent + width + 1, ' ');
            doc.append(line).append("\n");
            first = false;
        }
    }
    doc.append(indent, ' ');
    return doc;
}

}  // namespace lumira::results
