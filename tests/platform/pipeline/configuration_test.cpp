// Pipeline configuration files: filters loaded from a real shared object through
// DllGetClassObject and run over real jobs, and every kind of bad file refused with one line.
#include "module/testfiltermodule.h"
#include "pipelinetest.h"

#include <fstream>

namespace {

using platformpipeline::FailedAt;

constexpr char kParts[] = "<Input guid=\"{B8CF8530-5562-47C4-AB67-B1F69ECF961E}\" "
                          "comment=\"IID_IXpsDocumentProvider\"/>"
                          "<Output guid=\"{4368D8A2-4181-4A9F-B295-3D9A38BB9BA0}\" "
                          "comment=\"IID_IXpsDocumentConsumer\"/>";
constexpr char kBytes[] = "<Input guid=\"{4d47a67c-66cc-4430-850e-daf466fe5bc4}\" "
                          "comment=\"IID_IPrintReadStream\"/>"
                          "<Output guid=\"{65bb7f1b-371e-4571-8ac7-912f510c1a38}\" "
                          "comment=\"IID_IPrintWriteStream\"/>";

std::string FilterElement(const std::string& dll, const char* clsid, const char* name,
                          const char* connections) {
    return std::string("<Filter dll=\"") + dll + "\" clsid=\"" + clsid + "\" name=\"" + name +
           "\">" + connections + "</Filter>";
}

std::string Configuration(const std::string& filters) {
    return "<?xml version=\"1.0\"?>\n<Filters>\n" + filters + "\n</Filters>\n";
}

void Write(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

TEST(Configuration, FiltersFromAModuleBesideTheFileRunAJob) {
    pipelinetest::Job job(3);
    const std::filesystem::path folder = job.Folder() / "driver";
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(TESTFILTER_MODULE, folder / "filters.so");
    Write(folder / "pipeline.xml",
          Configuration(
              FilterElement("filters.so", testfiltermodule::kPassPartsText, "parts", kParts) +
              FilterElement("filters.so", testfiltermodule::kPassBytesText, "bytes", kBytes) +
              FilterElement(TESTFILTER_MODULE, testfiltermodule::kPassPartsText, "again", kParts)));
    {
        platformpipeline::Pipeline pipeline;
        std::string problem;
        ASSERT_EQ(S_OK, platformpipeline::LoadPipelineConfiguration(
                            (folder / "pipeline.xml").string(), &pipeline, &problem))
            << problem;
        ASSERT_EQ(3u, pipeline.filters.size());
        EXPECT_EQ("parts", pipeline.filters[0].name);
        EXPECT_EQ(platformpipeline::Connection::Bytes, pipeline.filters[1].input);
        EXPECT_EQ(platformpipeline::Connection::Bytes, pipeline.filters[1].output);
        EXPECT_EQ(platformpipeline::Connection::Parts, pipeline.filters[2].output);
        std::filesystem::remove_all(folder); // the loaded module stays in memory
        const platformpipeline::JobResult result = job.Run(pipeline);
        ASSERT_TRUE(result.Succeeded()) << result.filter << ": " << result.message;
        EXPECT_EQ(pipelinetest::PageUris(job.Input()), pipelinetest::PageUris(job.Output()));
    }
}

TEST(Configuration, AModuleFilterThatFailsIsNamed) {
    pipelinetest::Job job(3);
    const std::filesystem::path file = job.Folder() / "tmp" / "pipeline.xml";
    Write(file, Configuration(FilterElement(TESTFILTER_MODULE, testfiltermodule::kPassPartsText,
                                            "first", kParts) +
                              FilterElement(TESTFILTER_MODULE, testfiltermodule::kFailAtPageTwoText,
                                            "failing", kParts)));
    platformpipeline::Pipeline pipeline;
    std::string problem;
    ASSERT_EQ(S_OK, platformpipeline::LoadPipelineConfiguration(file.string(), &pipeline, &problem))
        << problem;
    std::filesystem::remove(file);
    const platformpipeline::JobResult result = job.Run(pipeline);
    EXPECT_EQ(FailedAt::Filter, result.failedAt);
    EXPECT_EQ("failing", result.filter);
    EXPECT_EQ(static_cast<HRESULT>(0x8004D00Au), result.hr);
}

TEST(Configuration, BadFilesAreRefusedWithOneLine) {
    const std::string module = TESTFILTER_MODULE;
    const auto one = [&](const char* clsid, const char* connections) {
        return Configuration(FilterElement(module, clsid, "f", connections));
    };
    struct Case {
        const char* name;
        std::string text; // empty: no file at all
        const char* words;
    };
    const std::vector<Case> cases = {
        {"missing", "", "No such file"},
        {"not XML", "<Filters><Filter>", "pipeline.xml: "},
        {"a DTD", "<!DOCTYPE Filters [<!ENTITY e \"x\">]><Filters/>", "document type"},
        {"another root", "<Pipeline/>", "root element is not Filters"},
        {"no filter", "<Filters><!-- none --></Filters>", "holds no Filter"},
        {"no dll",
         Configuration("<Filter clsid=\"{5F1D7E00-0000-4000-8000-000000000001}\">" +
                       std::string(kParts) + "</Filter>"),
         "names no dll"},
        {"bad clsid", one("{5F1D7E00-0000-4000-8000-00000000001}", kParts), "is not a GUID"},
        {"clsid with spaces", one(" {5F1D7E00-0000-4000-8000-000000000001}", kParts),
         "is not a GUID"},
        {"no Input",
         one(testfiltermodule::kPassPartsText,
             "<Output guid=\"{4368D8A2-4181-4A9F-B295-3D9A38BB9BA0}\"/>"),
         "has no Input"},
        {"two Outputs",
         one(testfiltermodule::kPassPartsText,
             (std::string(kParts) + "<Output guid=\"{4368D8A2-4181-4A9F-B295-3D9A38BB9BA0}\"/>")
                 .c_str()),
         "more than one Output"},
        {"input of another interface",
         one(testfiltermodule::kPassPartsText,
             "<Input guid=\"{4368D8A2-4181-4A9F-B295-3D9A38BB9BA0}\"/>"
             "<Output guid=\"{4368D8A2-4181-4A9F-B295-3D9A38BB9BA0}\"/>"),
         "neither IXpsDocumentProvider nor IPrintReadStream"},
        {"missing module",
         Configuration(
             FilterElement("nosuchfilters.so", testfiltermodule::kPassPartsText, "f", kParts)),
         "cannot load"},
        {"module without DllGetClassObject",
         Configuration(
             FilterElement(PLATFORM_LIBRARY, testfiltermodule::kPassPartsText, "f", kParts)),
         "does not export DllGetClassObject"},
        {"class the module lacks", one("{5F1D7E00-0000-4000-8000-0000000000FF}", kParts),
         "gives no class factory"},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        ScratchFolder folder("pipelineconfiguration");
        const std::filesystem::path file = folder / "pipeline.xml";
        if (!test.text.empty()) {
            Write(file, test.text);
        }
        platformpipeline::Pipeline pipeline;
        std::string problem;
        const HRESULT hr =
            platformpipeline::LoadPipelineConfiguration(file.string(), &pipeline, &problem);
        EXPECT_TRUE(FAILED(hr));
        EXPECT_NE(std::string::npos, problem.find(test.words)) << problem;
        EXPECT_EQ(std::string::npos, problem.find('\n')) << problem;
        EXPECT_TRUE(pipeline.filters.empty());
        EXPECT_TRUE(pipeline.modules.empty());
    }
}

} // namespace
