// Large project files: loading, validating and resolving a synthetic
// project of 10^4, 10^5 and 10^6 points in-process, and `collinear project`
// run on it as a user runs it (a child process, output to /dev/null).
//
// The projects take the shape of examples/project: one projected system
// (UTM 32), one camera with distortion, images along a facade with stored
// exterior orientations, points with names and coordinates on the facade,
// and every fifth point measured in three neighbouring images, so that
// control measurements grow with the points (0.6 per point, one image per
// 1000 points). Pixels are plausible values, not projections: loading does
// not look at them.
//
// Counters: file_MB (the project file), bytes_per_point (heap the loaded
// project holds, in-process), peak_MB (largest resident size of the child,
// from wait4), child_cpu_s (its user and system time: wall time on a
// shared machine says little) and points/s. Files go to a temporary folder that
// is removed at the end.
#include <malloc.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <collinear/io/project_file.h>

namespace {

namespace fs = std::filesystem;

constexpr int kPointsPerImage = 1000;
constexpr int kMeasuredEvery = 5;   // every fifth point is a control point
constexpr int kImagesPerPoint = 3;  // measured in this many images
constexpr double kWallM = 2000.0;   // facade length (x)
constexpr double kHeightM = 40.0;   // facade height (z)

fs::path& Folder() {
  static fs::path folder;
  return folder;
}

std::string PointName(long i) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "P%07ld", i);
  return buf;
}

std::string ImageId(long k) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "IMG_%05ld", k);
  return buf;
}

// Writes the project of n points (once per size) and returns its path.
std::string ProjectOf(long n) {
  static std::map<long, std::string> made;
  auto it = made.find(n);
  if (it != made.end()) return it->second;
  if (Folder().empty()) {
    Folder() = fs::temp_directory_path() /
               ("collinear_project_bench_" + std::to_string(getpid()));
    fs::create_directories(Folder());
  }
  const std::string path =
      (Folder() / ("project_" + std::to_string(n) + ".json")).string();
  std::mt19937 rng(20);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  const long images = std::max<long>(4, n / kPointsPerImage);
  std::vector<std::vector<long>> measured(static_cast<std::size_t>(images));
  FILE* f = std::fopen(path.c_str(), "w");
  std::fprintf(f,
               "{\n  \"format\": \"collinear-project\",\n  \"version\": 1,\n"
               "  \"name\": \"Facade, %ld points\",\n"
               "  \"angle_unit\": \"deg\",\n"
               "  \"working_system\": \"utm32\",\n"
               "  \"coordinate_systems\": [\n"
               "    {\"id\": \"utm32\", \"crs\": \"EPSG:25832\"}\n  ],\n",
               n);
  std::fprintf(f,
               "  \"cameras\": [\n    {\n      \"id\": \"nikon\",\n"
               "      \"focal_length_mm\": 24.2,\n"
               "      \"pixel_size_mm\": 0.00488,\n"
               "      \"picture_size_px\": [7360, 4912],\n"
               "      \"principal_point_px\": [3691.4, 2448.9],\n"
               "      \"distortion\": {\n"
               "        \"model\": \"k1k2p1p2\",\n"
               "        \"coefficients\": [1.2e-05, -4.5e-09, 1.5e-06, "
               "-8e-07]\n      }\n    }\n  ],\n  \"points\": [\n");
  for (long i = 0; i < n; ++i) {
    const double x = 513000.0 + kWallM * static_cast<double>(i) / n;
    const double y = 5402830.0 + 0.2 * unit(rng);
    const double z = 240.0 + kHeightM * unit(rng);
    std::fprintf(f,
                 "    {\"name\": \"%s\", \"x\": %.3f, \"y\": %.3f, \"z\": "
                 "%.3f}%s\n",
                 PointName(i).c_str(),
                 x,
                 y,
                 z,
                 i + 1 < n ? "," : "");
    if (i % kMeasuredEvery == 0)
      for (long k = 0; k < kImagesPerPoint; ++k)
        measured[static_cast<std::size_t>((i * images / n + k) % images)]
            .push_back(i);
  }
  std::fprintf(f, "  ],\n  \"images\": [\n");
  for (long k = 0; k < images; ++k) {
    const double cx = 513000.0 + kWallM * (k + 0.5) / images;
    std::fprintf(f,
                 "    {\n      \"id\": \"%s\",\n      \"camera\": \"nikon\",\n"
                 "      \"exterior\": {\"x\": %.3f, \"y\": 5402810.0, \"z\": "
                 "260.0, \"omega\": -90.0, \"phi\": 0.0, \"kappa\": 0.0},\n"
                 "      \"control\": [\n",
                 ImageId(k).c_str(),
                 cx);
    const std::vector<long>& m = measured[static_cast<std::size_t>(k)];
    for (std::size_t j = 0; j < m.size(); ++j)
      std::fprintf(f,
                   "        {\"point\": \"%s\", \"pixel\": [%.2f, %.2f]}%s\n",
                   PointName(m[j]).c_str(),
                   7360.0 * unit(rng),
                   4912.0 * unit(rng),
                   j + 1 < m.size() ? "," : "");
    std::fprintf(f, "      ]\n    }%s\n", k + 1 < images ? "," : "");
  }
  std::fprintf(f, "  ]\n}\n");
  std::fclose(f);
  made[n] = path;
  return path;
}

double FileMegabytes(const std::string& path) {
  return static_cast<double>(fs::file_size(path)) / 1e6;
}

// Load (with every check of the file), then resolve what a command
// resolves: each image's camera and each control point's point by name.
void BM_Load(benchmark::State& state) {
  const long n = state.range(0);
  const std::string path = ProjectOf(n);
  std::size_t held = 0;
  for (auto _ : state) {
    const std::size_t before = mallinfo2().uordblks;
    std::string error;
    std::unique_ptr<collinear::Project> p =
        collinear::Project::Load(path, error);
    if (!p) {
      state.SkipWithError(error.c_str());
      return;
    }
    long resolved = 0;
    for (const collinear::ProjectImage& img : p->images()) {
      resolved += p->FindCamera(img.camera) != nullptr;
      resolved += p->FindImage(img.id) != nullptr;
      for (const collinear::ProjectControl& c : img.control)
        resolved += p->FindPoint(c.point) != nullptr;
    }
    benchmark::DoNotOptimize(resolved);
    held = mallinfo2().uordblks - before;
  }
  state.counters["file_MB"] = FileMegabytes(path);
  state.counters["bytes_per_point"] =
      static_cast<double>(held) / static_cast<double>(n);
  state.counters["points/s"] = benchmark::Counter(
      static_cast<double>(n) * static_cast<double>(state.iterations()),
      benchmark::Counter::kIsRate);
}

// Runs the tool with args, output to /dev/null; false when it fails.
bool RunTool(const std::vector<std::string>& args,
             double& seconds,
             double& cpu_seconds,
             double& peak_mb) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(COLLINEAR_TOOL));
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  // The child's peak counts the pages it shares with this process until
  // exec: hand freed memory back first.
  malloc_trim(0);
  const auto start = std::chrono::steady_clock::now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (!std::freopen("/dev/null", "w", stdout)) _exit(127);
    execv(COLLINEAR_TOOL, argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (pid < 0 || wait4(pid, &status, 0, &usage) != pid) return false;
  seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
          .count();
  cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec) +
                1e-6 * static_cast<double>(usage.ru_utime.tv_usec) +
                static_cast<double>(usage.ru_stime.tv_sec) +
                1e-6 * static_cast<double>(usage.ru_stime.tv_usec);
  peak_mb = static_cast<double>(usage.ru_maxrss) / 1024.0;  // kB on Linux
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// `collinear project FILE --image IMG_00000`: every point projected into
// the first image; with range(1) == 1, only `--point P0000000` (the
// loading without the output).
void BM_Tool(benchmark::State& state) {
  const long n = state.range(0);
  const std::string path = ProjectOf(n);
  std::vector<std::string> args = {"project", path, "--image", ImageId(0)};
  if (state.range(1) == 1) {
    args.push_back("--point");
    args.push_back(PointName(0));
  }
  double peak_mb = 0.0, cpu_seconds = 0.0;
  for (auto _ : state) {
    double seconds = 0.0;
    if (!RunTool(args, seconds, cpu_seconds, peak_mb)) {
      state.SkipWithError("collinear project failed");
      return;
    }
    state.SetIterationTime(seconds);
  }
  state.counters["file_MB"] = FileMegabytes(path);
  state.counters["peak_MB"] = peak_mb;
  state.counters["child_cpu_s"] = cpu_seconds;
  state.counters["bytes_per_point"] = peak_mb * 1024.0 * 1024.0 / n;
}

// One run each at 10^6: a few seconds to a minute.
void Sizes(benchmark::internal::Benchmark* b, bool tool) {
  for (long n : {10000L, 100000L, 1000000L}) {
    for (int only_one = 0; only_one <= (tool ? 1 : 0); ++only_one) {
      if (tool)
        b->Args({n, only_one});
      else
        b->Arg(n);
    }
  }
  b->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(1);
}

// The tool first, while this process is small (see RunTool).
BENCHMARK(BM_Tool)->UseManualTime()->Apply(
    [](benchmark::internal::Benchmark* b) { Sizes(b, true); });
BENCHMARK(BM_Load)->Apply([](benchmark::internal::Benchmark* b) {
  Sizes(b, false);
});

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (!Folder().empty()) fs::remove_all(Folder());
  return 0;
}
