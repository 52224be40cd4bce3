// The run read from the record, a write at a time (see runmodel.h).
#include "port/record/runmodel.h"

#include "port/backend/port.h"

#include <algorithm>

namespace port::record {

bool drivesLines(const WriteRecord::Write& write)
{
    return write.address == backend::dataPort || write.address == backend::controlPort;
}

bool applyWrite(const WriteRecord::Write& write, LineLevels& levels)
{
    if (write.address == backend::dataPort) {
        for (std::size_t line = 0; line < pattern::dataLineCount; ++line)
            levels[line] = pattern::isHigh(write.value, line);
        return true;
    }
    if (write.address == backend::controlPort) {
        levels[pattern::controlLine] = pattern::isHigh(write.value, pattern::controlLine);
        return true;
    }
    return false;
}

RunModel::Lost RunModel::Run::lostBefore(const Write& first) const
{
    Lost lost;
    lost.startHeld = startSeen && first.index <= firstIndex;
    if (lost.startHeld)
        return lost;
    if (startSeen)
        lost.missing = first.nanoseconds - start;
    else if (startedAfter)
        lost.missingAtMost = first.nanoseconds - *startedAfter;
    return lost;
}

RunModel::Reading RunModel::take(const Write& write)
{
    Reading reading;
    track(write);
    if (write.address == backend::controlPort) {
        lastControl_ = write;
    } else if (write.address == backend::dataPort) {
        lastData_ = write;
        reading.idle = write.value == pattern::idleData;
        reading.stepStart = !reading.idle;
        reading.cycleStart = write.value == pattern::cycleStartData;
    }
    if (reading.cycleStart) {
        if (lastCycleStart_ && write.index == lastCycleStart_->index + pattern::writesPerCycle &&
            write.nanoseconds > lastCycleStart_->nanoseconds) {
            reading.wholeCycle = write.nanoseconds - lastCycleStart_->nanoseconds;
            cycleLength_ = reading.wholeCycle;
        }
        lastCycleStart_ = write;
    }
    return reading;
}

void RunModel::take(const std::vector<Write>& writes)
{
    for (const Write& write : writes)
        take(write);
}

void RunModel::lookedAt(std::int64_t now)
{
    lookedAt_ = now;
}

// A run begins with a step's data write while the port is idle. Lost writes
// leave a run under way going on: STOP leaves the idle pair as the newest
// writes until the next RUN, and the record is read far more often than
// anyone can press STOP and RUN.
void RunModel::track(const Write& write)
{
    if (!lastIndex_) {
        if (write.index == 0) {
            portState_ = PortState::Idle;
        } else if (lookedAt_) {
            // Nothing was written when the reader last looked: the port was idle.
            portState_ = PortState::IdleThenLost;
            startedAfter_ = *lookedAt_;
        } else {
            portState_ = PortState::Unknown;
        }
    } else if (write.index != *lastIndex_ + 1) {
        lastData_.reset();
        lastControl_.reset();
        if (portState_ == PortState::Idle) {
            portState_ = PortState::IdleThenLost;
            startedAfter_ = std::max(lookedAt_.value_or(lastTime_), lastTime_);
        }
    }
    lastIndex_ = write.index;
    lastTime_ = write.nanoseconds;
    if (write.address != backend::dataPort)
        return;
    if (write.value == pattern::idleData) {
        if (portState_ == PortState::InRun && run_)
            run_->end = write.nanoseconds;
        portState_ = PortState::Idle;
        return;
    }
    if (portState_ == PortState::InRun)
        return;
    std::optional<std::int64_t> after;
    if (portState_ == PortState::IdleThenLost)
        after = startedAfter_;
    run_ = Run{write.nanoseconds, write.index, portState_ == PortState::Idle, after, std::nullopt};
    portState_ = PortState::InRun;
}

std::optional<RunModel::Write> RunModel::stepUnderWay() const
{
    if (!lastData_ || lastData_->value == pattern::idleData)
        return std::nullopt;
    return lastData_;
}

std::optional<std::size_t> RunModel::stepShown() const
{
    if (!lastData_)
        return std::nullopt;
    for (std::size_t step = 0; step < pattern::stepsPerCycle; ++step) {
        const pattern::Step& expected = pattern::stepPattern[step];
        if (expected.data != lastData_->value)
            continue;
        if (!lastControl_ || lastControl_->index < lastData_->index || lastControl_->value == expected.control)
            return step;
    }
    return std::nullopt;
}

bool RunModel::idleShown() const
{
    return lastData_ && lastData_->value == pattern::idleData &&
           (!lastControl_ || lastControl_->value == pattern::idleControl);
}

}  // namespace port::record
