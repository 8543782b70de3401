// Checks of many instances: each renders as if alone, whether the others run beside it, on
// other threads at the same time, or are created and closed around it, and an instance opened,
// rendered and closed hundreds of times renders the same each time.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host/modhost/io/text.h"
#include "host/modhost/validate/check_support.h"
#include "host/modhost/validate/checks.h"

namespace modhost {
namespace validation {

namespace {

struct Part {
  Script script;
  BlockPlan plan;
  InstanceSetup setup;
  uint32_t first_block = 0;  // in the shared timeline of blocks
  RenderResult alone;
  std::unique_ptr<Session> instance;
  std::unique_ptr<RenderSession> session;
};

std::vector<std::unique_ptr<Part>> MakeParts(CheckContext& context, size_t count, int32_t block,
                                             uint32_t timeline_blocks, bool random_blocks) {
  std::vector<std::unique_ptr<Part>> parts;
  const PinLayout& layout = context.Layout();
  for (size_t index = 0; index < count; ++index) {
    auto part = std::make_unique<Part>();
    part->first_block = static_cast<uint32_t>(context.random().Between(0, timeline_blocks / 3));
    const uint32_t last_block =
        static_cast<uint32_t>(context.random().Between(part->first_block + 4, timeline_blocks));
    part->script = LivelyScript(layout, (last_block - part->first_block) * block, context.random());
    AddRandomEvents(&part->script, layout, 12, 2, context.random());
    part->plan = random_blocks
                     ? BlockPlan::RandomSizes(part->script.length, 300, 4, context.random())
                     : BlockPlan::Uniform(part->script.length, block);
    part->setup.clock = context.random().Between(0, 1 << 30);
    part->setup.sample_rate = context.random().Chance(0.5) ? 44100.0f : 48000.0f;
    parts.push_back(std::move(part));
  }
  context.Step("rendering each instance's script alone");
  for (auto& part : parts)
    part->alone = RenderFresh(context, part->script, part->plan, part->setup);
  return parts;
}

void CompareParts(CheckContext& context, const std::vector<std::unique_ptr<Part>>& parts,
                  const std::string& how) {
  for (size_t index = 0; index < parts.size(); ++index) {
    const Part& part = *parts[index];
    if (!part.session) continue;
    ExpectSame(context, part.session->result(), part.alone, 0, part.script.length,
               Format("instance %zu of %zu ", index + 1, parts.size()) + how +
                   " renders differently from the same instance alone",
               part.script, part.plan);
  }
}

void CheckInstancesIndependent(CheckContext& context) {
  const int32_t block = 64;
  const uint32_t timeline = 24;
  std::vector<std::unique_ptr<Part>> parts = MakeParts(context, 16, block, timeline, false);
  context.Step("rendering 16 instances side by side");
  std::vector<size_t> order(parts.size());
  for (size_t index = 0; index < order.size(); ++index) order[index] = index;
  for (uint32_t step = 0; step <= timeline; ++step) {
    context.random().Shuffle(order);
    for (size_t index : order) {
      Part& part = *parts[index];
      if (part.first_block == step && !part.instance) {
        part.instance = context.Create(part.setup);
        part.session = std::make_unique<RenderSession>(*part.instance, part.script, part.plan);
      }
    }
    context.random().Shuffle(order);
    for (size_t index : order) {
      Part& part = *parts[index];
      if (!part.session || part.session->done()) continue;
      part.session->Step();
      // Closed as soon as it is done, so that closing happens between other instances' blocks.
      if (part.session->done()) part.instance.reset();
    }
  }
  CompareParts(context, parts, "among 16 created, rendered and closed in random order");
}

void CheckInstancesConcurrent(CheckContext& context) {
  const size_t threads = 3;
  constexpr size_t per_thread = 3;
  std::vector<std::unique_ptr<Part>> parts =
      MakeParts(context, threads * per_thread, 128, 40, true);
  for (auto& part : parts) {
    part->instance = context.Create(part->setup);
    part->session = std::make_unique<RenderSession>(*part->instance, part->script, part->plan);
  }
  context.Step(Format("rendering %zu instances on %zu threads at once", parts.size(), threads));
  std::vector<std::thread> workers;
  for (size_t thread = 0; thread < threads; ++thread) {
    workers.emplace_back([&parts, thread]() {
      bool busy = true;
      while (busy) {
        busy = false;
        for (size_t slot = 0; slot < per_thread; ++slot) {
          RenderSession& session = *parts[thread * per_thread + slot]->session;
          if (session.done()) continue;
          session.Step();
          busy = true;
        }
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  CompareParts(context, parts, "rendered on its own thread while others ran");
}

void CheckOpenCloseCycles(CheckContext& context) {
  const Script script = LivelyScript(context.Layout(), 128, context.random());
  const BlockPlan plan = BlockPlan::Uniform(script.length, 64);
  const InstanceSetup setup = AtClock(5000);
  context.Step("the first cycle");
  const RenderResult reference = RenderFresh(context, script, plan, setup);
  const int cycles = static_cast<int>(context.ByLevel(30, 300, 3000));
  context.Step(Format("%d cycles of create, open, render and close", cycles));
  bool differed = false;
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    std::unique_ptr<Session> instance = context.Create(setup);
    const RenderResult result = Render(*instance, script, plan);
    if (!differed &&
        FirstDifference(context.Layout(), result, reference, 0, script.length, nullptr) >= 0) {
      differed = true;
      ExpectSame(context, result, reference, 0, script.length,
                 Format("cycle %d renders differently from the first", cycle), script, plan);
    }
    const int32_t closed = instance->Close();
    if (closed != 1) {
      context.Fail(Format("cycle %d: opcode 1 (Close) answered %d instead of 1", cycle, closed));
    }
    if (cycle % 25 != 0) continue;
    // Now and then: closed without opening, opened twice, several closed in reverse order.
    InstanceSetup unopened = setup;
    unopened.open = false;
    context.Create(unopened)->Close();
    std::unique_ptr<Session> twice = context.Create(setup);
    twice->Open();
    Render(*twice, script, plan);
    std::vector<std::unique_ptr<Session>> several;
    for (int count = 0; count < 4; ++count) several.push_back(context.Create(setup));
    while (!several.empty()) several.pop_back();
  }
}

}  // namespace

std::vector<CheckDefinition> InstanceChecks() {
  return {
      {"instances-independent", CheckKind::kModule,
       "16 instances created, rendered and closed in random order each render as if alone",
       CheckInstancesIndependent, 2},
      {"instances-concurrent", CheckKind::kModule,
       "instances rendered on several threads at once each render as if alone",
       CheckInstancesConcurrent, 3},
      {"open-close-cycles", CheckKind::kModule,
       "hundreds of create-open-render-close cycles, each rendering the same", CheckOpenCloseCycles,
       2, "cycles: 30 at level 1, 300 at 5, 3000 at 10"},
  };
}

}  // namespace validation
}  // namespace modhost
