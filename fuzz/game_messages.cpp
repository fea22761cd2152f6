// Arbitrary bytes from a client as an application or system message, addressed to the
// host or to one of its objects: the handlers must neither crash nor read past the
// datagram, and the host state must stay within its ranges.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/log.h"
#include "protocol/game.h"
#include "session/engine.h"
#include "session/scripted_peer.h"

namespace {

using namespace qd;

struct QuietWindow : WindowPort {
    bool WindowExists() const override { return true; }
    void PostChatText(std::string) override {}
    void PostStatusText(std::string) override {}
    void PostOptionsChanged() override {}
    void PostSendPlayerSettings(DPID, uint32_t) override {}
    void SetTimer(uint32_t, uint32_t) override {}
    void KillTimer(uint32_t) override {}
    void RefreshPlayerRow(DPID, const DpName&) override {}
    void RemovePlayerRow(DPID) override {}
    void RefreshTeams() override {}
    void RemoveTeamEntry(DPID) override {}
    void EnableControl(int, bool) override {}
    std::string ChatEntryText() override { return {}; }
    void SetChatEntryText(const std::string&) override {}
    void ShowNotice(const std::string&) override {}
};

struct Rig {
    std::shared_ptr<Engine> engine = std::make_shared<Engine>(EngineOptions{});
    std::shared_ptr<ScriptedNetwork> net = ScriptedNetwork::Attach(*engine);
    HostContext ctx;
    DataAccess data{ctx};
    ConfigContext config;
    QuietWindow window;
    TargetObject objects[2];
    TeamDefinition team;
    GameHost host{ctx, data, config, window};
    DPID client = 0;

    Rig() {
        SetErrorLogPath(std::filesystem::temp_directory_path() / "quarneld-fuzz-qdlerror.txt");
        ctx.directPlay = engine;
        ctx.receiveEvent = std::make_unique<AutoResetEvent>();
        engine->InitializeConnection(BuildTcpipAddress("127.0.0.1"), 0);
        SessionDesc desc;
        desc.sessionName = u"fuzz";
        engine->Open(desc, DPOPEN_CREATE);
        config.workDir = std::filesystem::temp_directory_path();
        config.settings.BTEAMS_DESTROY_TARGETS = 1;
        for (uint32_t i = 0; i < 2; ++i) {
            DpName name;
            name.shortName = u"obj";
            name.longName = u"AJ[]Tank[]C";
            engine->CreatePlayer(&objects[i].playerId, name, ctx.receiveEvent.get(), {}, 0);
            data.InitPlayerRecord(objects[i].playerId);
            PlayerRecord r = *data.GetPlayerRecord(objects[i].playerId);
            r.kind = kKindHostObject, r.object = i + 1;
            data.PutPlayerRecord(objects[i].playerId, r);
            objects[i].lifePoints = 1000;
            host.targets.push_back(&objects[i]);
        }
        ctx.hostPlayerId = objects[0].playerId;
        team.name = "Red", team.kind = kTeamBomber;
        host.teams.push_back(&team);
        DpName groupName;
        groupName.shortName = u"Red";
        engine->CreateGroup(&team.groupId, groupName, {}, 0);
        data.PutTeamGroupRecord(team.groupId, TeamGroupRecord{0, 0, 0, 0, 1});
        net->SetLogLimit(8);
        auto& peer = net->AddPeer("192.0.2.1");
        peer.Join();
        peer.CreatePlayer(u"client", u"BJ[]Spitfire[]C", &client);
        data.InitPlayerRecord(client);
    }

    void Discard() {
        std::vector<uint8_t> buffer(70000);
        for (int i = 0; i < 10000; ++i) {
            DPID from = 0, to = 0;
            uint32_t size = uint32_t(buffer.size());
            if (FAILED(engine->Receive(&from, &to, DPRECEIVE_ALL, buffer.data(), &size))) break;
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Rig rig;
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    std::vector<uint8_t> message(data + 1, data + size);  // exactly the datagram, nothing after it
    const DPID to = (mode & 2) ? rig.objects[1].playerId : rig.ctx.hostPlayerId;
    if (mode & 1)
        HandleSystemMessage(rig.host, message.data(), uint32_t(message.size()), to);
    else
        HandleApplicationMessage(rig.host, message.data(), uint32_t(message.size()), rig.client, to);
    rig.Discard();
    for (auto& o : rig.objects) {
        if (o.effectLevel > 80 || o.destroyed > 1) std::abort();
        o.damage = 0, o.destroyed = 0, o.effectLevel = 0;
    }
    if (rig.host.state.paused > 1) std::abort();
    return 0;
}
