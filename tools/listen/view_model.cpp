#include "tools/listen/view_model.h"

namespace {

constexpr int64_t RateWindowNs = 1000000000;

// The relay's dispatch: report 2 and report 4 both feed TYP 3 channels 0
// and 1, report 3 feeds 2 and 3, report 5 feeds TYP 2 channels 2 and 3.
const struct {
    int Typ;
    int Id;
    const char* Name;
} AxisRows[ViewAxisCount] = {
    {3, 0, "X/Ry"}, {3, 1, "Y/Rz"}, {3, 2, "Z"}, {3, 3, "Rx"}, {2, 2, "Slider"}, {2, 3, "Dial"},
};

void InitChannel(ViewChannel* channel, int typ, int id, const char* name) {
    *channel = ViewChannel{typ, id, name, false, 0, 0, 0, 0, 0.0};
}

void Count(ViewChannel* channel, int32_t value, int64_t nowNs) {
    channel->Seen = true;
    channel->Value = value;
    ++channel->Count;
    channel->LastNs = nowNs;
}

void CloseWindow(ViewChannel* channel, double seconds) {
    channel->Rate = static_cast<double>(channel->Count - channel->WindowCount) / seconds;
    channel->WindowCount = channel->Count;
}

}  // namespace

void ViewModelInit(ViewModel* model, int64_t nowNs) {
    for (int i = 0; i < ViewAxisCount; ++i)
        InitChannel(&model->Axes[i], AxisRows[i].Typ, AxisRows[i].Id, AxisRows[i].Name);
    InitChannel(&model->Buttons, 1, 0, "buttons");
    model->OtherCount = 0;
    model->LastOther = FrameEvent{0, 0, 0};
    model->Frames = 0;
    model->WindowFrames = 0;
    model->Rate = 0.0;
    model->WindowStartNs = nowNs;
    for (FrameEvent& event : model->Recent) event = FrameEvent{0, 0, 0};
    model->State = ViewWaiting;
    model->ExitCode = 0;
    model->Message.clear();
}

void ViewModelGreeted(ViewModel* model) {
    model->State = ViewStreaming;
    model->Message.clear();
}

void ViewModelReconnecting(ViewModel* model, const std::string& note) {
    model->State = ViewReconnecting;
    model->Message = note;
}

void ViewModelConnected(ViewModel* model) { model->State = ViewWaiting; }

void ViewModelEvent(ViewModel* model, const FrameEvent& event, int64_t nowNs) {
    model->Recent[model->Frames % ViewRecentCount] = event;
    ++model->Frames;
    if (event.Typ == 1) {
        Count(&model->Buttons, event.Id, nowNs);
        return;
    }
    for (ViewChannel& axis : model->Axes) {
        if (axis.Typ == event.Typ && axis.Id == event.Id) {
            Count(&axis, event.Value, nowNs);
            return;
        }
    }
    ++model->OtherCount;
    model->LastOther = event;
}

void ViewModelEnd(ViewModel* model, int exitCode, const std::string& message) {
    model->State = ViewEnded;
    model->ExitCode = exitCode;
    model->Message = message;
}

void ViewModelTick(ViewModel* model, int64_t nowNs) {
    int64_t elapsed = nowNs - model->WindowStartNs;
    if (elapsed < RateWindowNs) return;
    double seconds = static_cast<double>(elapsed) / 1e9;
    for (ViewChannel& axis : model->Axes) CloseWindow(&axis, seconds);
    CloseWindow(&model->Buttons, seconds);
    model->Rate = static_cast<double>(model->Frames - model->WindowFrames) / seconds;
    model->WindowFrames = model->Frames;
    model->WindowStartNs = nowNs;
}

bool ViewButtonLit(const ViewModel* model, int button) {
    if (!model->Buttons.Seen || button < 1 || button > ViewButtonCount) return false;
    // The word travels in ID as a signed 16-bit number; bit n is button n+1.
    return (static_cast<uint32_t>(model->Buttons.Value) >> (button - 1)) & 1u;
}

bool ViewRecentEvent(const ViewModel* model, int n, FrameEvent* event) {
    if (n < 0 || n >= ViewRecentCount || static_cast<uint64_t>(n) >= model->Frames) return false;
    *event = model->Recent[(model->Frames - 1 - static_cast<uint64_t>(n)) % ViewRecentCount];
    return true;
}
