// The register map: a request checked whole before anything is done, the
// control word's edges, who is in control, the communication-loss watch,
// and the status word.
#include "app/remote/registermap.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace app::remote {

namespace {

using port::run::SequencerState;
using port::run::StartTicket;

constexpr std::uint16_t largestSpeed = 9999;  // rpm
constexpr std::uint16_t largestPoles = 24;
// The largest rating and ratio a register takes: 1000 V, 100 V/Hz.
constexpr std::uint16_t largestRatedVoltage = 10000;
constexpr std::uint16_t largestVoltsPerHertz = 10000;
constexpr std::uint32_t largestPair = std::numeric_limits<std::uint32_t>::max();
// Holding register n is 4xxxx number n + 40001 to the people who wire drives.
constexpr unsigned holdingNumberBase = 40001;

// A reading in the register's unit, rounded; what does not fit is held at
// the register's ends (NaN reads 0).
template <class Register>
Register scaled(double value, double scale)
{
    const double x = std::round(value * scale);
    if (!(x > 0))
        return 0;
    constexpr auto largest = std::numeric_limits<Register>::max();
    return x >= static_cast<double>(largest) ? largest : static_cast<Register>(x);
}

void putPair(std::span<std::uint16_t> registers, std::uint16_t at, std::uint32_t value)
{
    registers[at] = static_cast<std::uint16_t>(value >> 16);
    registers[at + 1] = static_cast<std::uint16_t>(value & 0xFFFF);
}

Exception exceptionFor(Refusal refusal)
{
    switch (refusal) {
    case Refusal::RemoteControlOff:
    case Refusal::NotInControl:
        return Exception::IllegalFunction;
    case Refusal::WindowBusy:
        return Exception::Busy;
    default:
        return Exception::DeviceFailure;
    }
}

// A start refused by a check of the operating point is a trip; one that
// was not tried (remote control off, not begun, a run alive) is not.
bool refusedByCheck(Refusal refusal)
{
    switch (refusal) {
    case Refusal::TwoPoleSpeed:
    case Refusal::FourPoleSpeed:
    case Refusal::AboveRatedSpeed:
    case Refusal::VoltageNotBelowRating:
    case Refusal::ZeroFrequency:
    case Refusal::FrequencyOutOfRange:
    case Refusal::FullSpeed:
        return true;
    default:
        return false;
    }
}

bool fits(std::uint16_t address, std::uint16_t value)
{
    switch (address) {
    case holding::controlWord:
        return (value & ~control::defined) == 0;  // a reserved bit set is refused
    case holding::speedReference:
    case holding::ratedSpeed:
        return value >= 1 && value <= largestSpeed;
    case holding::ratedVoltage:
        return value >= 1 && value <= largestRatedVoltage;
    case holding::poles:
        return value >= 2 && value <= largestPoles && value % 2 == 0;
    case holding::voltsPerHertz:
        return value >= 1 && value <= largestVoltsPerHertz;
    default:
        return value >= RegisterMap::shortestTimeout.count() && value <= RegisterMap::longestTimeout.count();
    }
}

std::optional<FieldValue> fieldAt(std::uint16_t address, std::uint16_t value)
{
    switch (address) {
    case holding::speedReference:
        return FieldValue{Field::SpeedReference, double(value)};
    case holding::ratedVoltage:
        return FieldValue{Field::RatedVoltage, value / voltageScale};
    case holding::ratedSpeed:
        return FieldValue{Field::RatedSpeed, double(value)};
    case holding::poles:
        return FieldValue{Field::Poles, double(value)};
    case holding::voltsPerHertz:
        return FieldValue{Field::VoltsPerHertz, value / voltsPerHertzScale};
    default:
        return std::nullopt;
    }
}

std::optional<std::uint16_t> writtenAt(const Request::Write& write, std::uint16_t address)
{
    if (address < write.start || address >= write.start + write.values.size())
        return std::nullopt;
    return write.values[address - write.start];
}

// "40001=0x0001 40002=900": the numbers the people who wire drives use.
std::string described(const Request::Write& write)
{
    std::string text;
    for (std::size_t i = 0; i < write.values.size(); ++i) {
        const unsigned address = write.start + i;
        if (!text.empty())
            text += ' ';
        text += std::to_string(holdingNumberBase + address) + '=';
        if (address == holding::controlWord) {
            constexpr char hex[] = "0123456789abcdef";
            text += "0x";
            for (int shift = 12; shift >= 0; shift -= 4)
                text += hex[(write.values[i] >> shift) & 0xF];
        } else {
            text += std::to_string(write.values[i]);
        }
    }
    return text;
}

std::string milliseconds(std::chrono::nanoseconds duration)
{
    return std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(duration).count()) + " ms";
}

}  // namespace

std::string_view refusalText(Refusal refusal)
{
    switch (refusal) {
    case Refusal::None:
        return "none";
    case Refusal::RemoteControlOff:
        return "remote control is off";
    case Refusal::WindowBusy:
        return "the window did not begin it in time; it never ran";
    case Refusal::NotInControl:
        return "another connection is in control";
    case Refusal::TwoPoleSpeed:
        return "the speed is not below 2100 rpm with 2 poles";
    case Refusal::FourPoleSpeed:
        return "the speed is not below 1050 rpm with 4 poles";
    case Refusal::AboveRatedSpeed:
        return "the speed is above the rated speed";
    case Refusal::VoltageNotBelowRating:
        return "the required voltage is not below the rated voltage";
    case Refusal::ZeroFrequency:
        return "the frequency is 0 Hz";
    case Refusal::FrequencyOutOfRange:
        return "the frequency is too large or too small to divide into steps";
    case Refusal::RunAlive:
        return "the rating, the poles and V/f are written only while no run is alive";
    case Refusal::TripLatched:
        return "a trip is latched: reset the fault first";
    case Refusal::FullSpeed:
        return "the delay count would not be above 0";
    }
    return "unknown";
}

struct RegisterMap::Waiting {
    ClientId client;
    Request request;
    Clock::time_point giveUpAt;
    std::shared_ptr<StartTicket> ticket;  // a start
    bool tookControl = false;             // given back when the start is refused
};

RegisterMap::RegisterMap(Console& console, const Identity& identity)
    : console_(console), identity_(identity)
{
    const ConsoleReadings now = console_.read();
    remoteOn_ = now.remoteControlOn;
    tripsAtReset_ = now.trips;
}

RegisterMap::~RegisterMap() = default;

void RegisterMap::connected(ClientId client, std::string name)
{
    names_[client] = std::move(name);
}

std::string RegisterMap::nameOf(ClientId client) const
{
    const auto found = names_.find(client);
    return found != names_.end() ? found->second : "connection " + std::to_string(client);
}

void RegisterMap::closed(ClientId client, Clock::time_point)
{
    if (former_ && former_->client == client)
        former_.reset();
    for (auto at = waiting_.begin(); at != waiting_.end();) {
        Waiting& waiting = *at->second;
        if (waiting.client != client) {
            ++at;
            continue;
        }
        if (waiting.ticket)
            console_.callOff(*waiting.ticket);
        // Begun, its outcome still comes; nobody is left to answer.
        console_.withdraw(at->first);
        at = waiting_.erase(at);
    }
    if (watch_ && watch_->client == client && watch_->ticket &&
        watch_->ticket->state() == StartTicket::State::Armed && console_.callOff(*watch_->ticket)) {
        console_.audit("remote: " + nameOf(client) + " closed: its start waiting is called off");
        watch_.reset();
    }
    if (controller_ == client)
        releaseControl("the connection closed");
    names_.erase(client);
}

std::vector<RegisterMap::Answer> RegisterMap::arrived(std::span<const std::uint8_t> pdu, ClientId client,
                                                      Clock::time_point now)
{
    std::vector<Answer> answers;
    const auto decoded = decode(pdu);
    const Request* request = std::get_if<Request>(&decoded);
    if (!request || !request->write)
        return answers;
    followRemoteSwitch(console_.read());
    const Request::Write& write = *request->write;
    const bool controlOrReference =
        writtenAt(write, holding::controlWord) || writtenAt(write, holding::speedReference);
    if (watch_ && watch_->client == client && controller_ == client && controlOrReference)
        watch_->heard = now;
    if (stopsFrom(*request, client))
        stopFor(client, answers, now);
    return answers;
}

// RUN 0 in the control word, from a connection that may stop: any while
// remote control is on, the former controller while it is off.
bool RegisterMap::stopsFrom(const Request& request, ClientId client) const
{
    const std::optional<std::uint16_t> word = writtenAt(*request.write, holding::controlWord);
    if (!word || (*word & control::run))
        return false;
    return remoteOn_ || (former_ && former_->client == client);
}

// Starts called off before the run: one called off first cannot begin
// behind the STOP's back.
void RegisterMap::stopFor(ClientId client, std::vector<Answer>& answers, Clock::time_point)
{
    bool stopped = false;
    if (remoteOn_) {
        for (auto at = waiting_.begin(); at != waiting_.end();) {
            const RequestId id = at->first;
            ++at;
            if (waiting_.at(id)->ticket && console_.withdraw(id))
                answers.push_back(withdrawn(id));
        }
        if (watch_ && watch_->ticket && console_.callOff(*watch_->ticket))
            stopped = true;
        stopped = console_.stop(std::nullopt) || stopped;
    } else if (former_) {
        if (former_->ticket && console_.callOff(*former_->ticket))
            stopped = true;
        std::optional<std::uint64_t> run = former_->run;
        if (!run && former_->ticket)
            run = former_->ticket->run();
        if (run)
            stopped = console_.stop(run) || stopped;
    }
    if (stopped)
        console_.audit("remote: " + nameOf(client) + ": STOP");
}

// A start that will not happen: called off, no longer watched, and the
// control it took given back.
void RegisterMap::dropStart(const Waiting& waiting, const std::string& why)
{
    if (!waiting.ticket)
        return;
    console_.callOff(*waiting.ticket);
    if (watch_ && watch_->ticket == waiting.ticket)
        watch_.reset();
    if (waiting.tookControl && controller_ == waiting.client)
        releaseControl(why);
}

RegisterMap::Answer RegisterMap::withdrawn(RequestId id)
{
    const std::unique_ptr<Waiting> waiting = std::move(waiting_.at(id));
    waiting_.erase(id);
    dropStart(*waiting, "its start never ran");
    console_.audit("remote: " + nameOf(waiting->client) + " wrote " + described(*waiting->request.write) +
                   ": never ran (exception 6)");
    return {waiting->client, exceptionReply(waiting->request.function, Exception::Busy)};
}

std::optional<std::vector<std::uint8_t>> RegisterMap::handle(std::span<const std::uint8_t> pdu, ClientId client,
                                                             Clock::time_point now)
{
    const auto decoded = decode(pdu);
    if (const Exception* exception = std::get_if<Exception>(&decoded))
        return exceptionReply(pdu.empty() ? 0 : pdu[0], *exception);
    const Request& request = std::get<Request>(decoded);
    if (request.write)
        return write(request, client, now);
    return serve(request, client);
}

std::optional<Exception> RegisterMap::readFault(const Request::Read& read) const
{
    const std::size_t first = read.start;
    const std::size_t end = first + read.count;
    const auto within = [&](std::size_t from, std::size_t to) { return first >= from && end <= to; };
    if (read.table == Request::Table::Input)
        return within(0, input::count) ? std::nullopt : std::optional(Exception::IllegalAddress);
    if (within(0, holding::writable) || within(holding::statusBlock, holding::statusBlock + input::count))
        return std::nullopt;
    return Exception::IllegalAddress;
}

std::vector<std::uint8_t> RegisterMap::serve(const Request& request, ClientId client)
{
    if (request.identification)
        return identificationReply(*request.identification, identity_);
    const Request::Read& read = *request.read;
    if (const auto fault = readFault(read))
        return exceptionReply(request.function, *fault);
    std::vector<std::uint16_t> registers;
    if (read.table == Request::Table::Input) {
        const auto all = inputRegisters(client);
        registers.assign(all.begin() + read.start, all.begin() + read.start + read.count);
    } else if (read.start < holding::writable) {
        const auto all = holdingRegisters();
        registers.assign(all.begin() + read.start, all.begin() + read.start + read.count);
    } else {
        const auto all = inputRegisters(client);
        const std::size_t from = read.start - holding::statusBlock;
        registers.assign(all.begin() + from, all.begin() + from + read.count);
    }
    return readReply(request.function, registers);
}

std::vector<std::uint8_t> RegisterMap::refuse(std::uint8_t function, Refusal refusal)
{
    lastRefusal_ = refusal;
    return exceptionReply(function, exceptionFor(refusal));
}

// Checked whole first: addresses, values, who may write, what the state
// allows. What needs the window goes there; the control word, the timeout
// and a fault reset are done with it, once it is done.
std::optional<std::vector<std::uint8_t>> RegisterMap::write(const Request& request, ClientId client,
                                                            Clock::time_point now)
{
    const Request::Write& write = *request.write;
    const std::string who = "remote: " + nameOf(client) + " wrote " + described(write) + ": ";
    const auto refused = [&](std::vector<std::uint8_t> reply, std::string_view why) {
        console_.audit(who + "refused, exception " + std::to_string(reply[1]) + " (" + std::string(why) + ")");
        return reply;
    };
    if (write.start + write.values.size() > holding::writable)
        return refused(exceptionReply(request.function, Exception::IllegalAddress), "no such register to write");
    if (request.read)
        if (const auto fault = readFault(*request.read))
            return refused(exceptionReply(request.function, *fault), "no such register to read");
    for (std::size_t i = 0; i < write.values.size(); ++i)
        if (!fits(static_cast<std::uint16_t>(write.start + i), write.values[i]))
            return refused(exceptionReply(request.function, Exception::IllegalValue), "a value out of range");

    const ConsoleReadings readings = console_.read();
    followRemoteSwitch(readings);
    const std::optional<std::uint16_t> word = writtenAt(write, holding::controlWord);
    // A STOP alone, taken from a connection that may stop but not write:
    // it has acted as it arrived, and the control word stays the controller's.
    const bool stopAlone = word && !(*word & control::run) && write.values.size() == 1;
    const bool stopTaken = stopAlone && stopsFrom(request, client);
    if (!readings.remoteControlOn && !stopTaken)
        return refused(refuse(request.function, Refusal::RemoteControlOff),
                       refusalText(Refusal::RemoteControlOff));
    if (controller_ && *controller_ != client && !stopTaken)
        return refused(refuse(request.function, Refusal::NotInControl), refusalText(Refusal::NotInControl));
    if (stopTaken && (!readings.remoteControlOn || (controller_ && *controller_ != client))) {
        console_.audit(who + "taken as a STOP");
        return afterWrite(request, client);
    }

    WindowRequest asked;
    bool referenceWritten = false;
    for (std::size_t i = 0; i < write.values.size(); ++i) {
        const auto address = static_cast<std::uint16_t>(write.start + i);
        if (const std::optional<FieldValue> field = fieldAt(address, write.values[i])) {
            asked.fields.push_back(*field);
            referenceWritten = referenceWritten || address == holding::speedReference;
            asked.ratingWritten = asked.ratingWritten || address != holding::speedReference;
        }
    }
    const bool runEdge = word && (*word & control::run) && !(controlWord_ & control::run);
    const bool resetEdge = word && (*word & control::faultReset) && !(controlWord_ & control::faultReset);
    if (asked.ratingWritten && readings.state != SequencerState::Idle)
        return refused(refuse(request.function, Refusal::RunAlive), refusalText(Refusal::RunAlive));
    if (runEdge && !resetEdge && tripLatched(readings))
        return refused(refuse(request.function, Refusal::TripLatched), refusalText(Refusal::TripLatched));

    if (asked.fields.empty() && !runEdge) {
        apply(write, readings);
        console_.audit(who + "taken");
        return afterWrite(request, client);
    }

    auto waiting = std::make_unique<Waiting>();
    waiting->client = client;
    waiting->request = request;
    waiting->giveUpAt = now + windowWait;
    if (runEdge) {
        asked.action = WindowRequest::Action::Start;
        asked.ticket = waiting->ticket = std::make_shared<StartTicket>();
        if (!controller_) {
            takeControl(client, "its RUN");
            waiting->tookControl = true;
        }
        watch_ = Watch{client, nameOf(client), asked.ticket, std::nullopt, now};
    } else if (referenceWritten && readings.state == SequencerState::Running && !(word && !(*word & control::run))) {
        asked.action = WindowRequest::Action::Retune;
        asked.run = readings.run;
    }
    const RequestId id = nextRequest_++;
    waiting_.emplace(id, std::move(waiting));
    console_.submit(id, std::move(asked));
    return std::nullopt;
}

std::optional<RegisterMap::Answer> RegisterMap::completed(RequestId id, WindowOutcome outcome, Clock::time_point now)
{
    const auto found = waiting_.find(id);
    if (found == waiting_.end())
        return std::nullopt;  // its connection has gone
    const std::unique_ptr<Waiting> waiting = std::move(found->second);
    waiting_.erase(found);
    const ConsoleReadings readings = console_.read();
    const std::string who =
        "remote: " + nameOf(waiting->client) + " wrote " + described(*waiting->request.write) + ": ";
    if (outcome.kind == WindowOutcome::Kind::Refused) {
        dropStart(*waiting, "its start was refused");
        if (waiting->ticket && refusedByCheck(outcome.refusal))
            refusedStart_ = true;
        std::vector<std::uint8_t> reply = refuse(waiting->request.function, outcome.refusal);
        console_.audit(who + "refused, exception " + std::to_string(reply[1]) + " (" +
                       std::string(refusalText(outcome.refusal)) + ")");
        return Answer{waiting->client, std::move(reply)};
    }
    apply(*waiting->request.write, readings);
    console_.audit(who + "taken");
    watch(readings, now);
    return Answer{waiting->client, afterWrite(waiting->request, waiting->client)};
}

void RegisterMap::apply(const Request::Write& write, const ConsoleReadings& now)
{
    if (const std::optional<std::uint16_t> word = writtenAt(write, holding::controlWord)) {
        if ((*word & control::faultReset) && !(controlWord_ & control::faultReset)) {
            refusedStart_ = communicationLost_ = false;
            tripsAtReset_ = now.trips;
            lastRefusal_ = Refusal::None;
        }
        controlWord_ = *word;
    }
    if (const std::optional<std::uint16_t> timeout = writtenAt(write, holding::timeout))
        timeout_ = std::chrono::milliseconds(*timeout);
}

std::vector<std::uint8_t> RegisterMap::afterWrite(const Request& request, ClientId client)
{
    if (!request.read)
        return writeReply(request);
    Request read = request;
    read.write.reset();
    return serve(read, client);
}

void RegisterMap::takeControl(ClientId client, const std::string& why)
{
    controller_ = client;
    console_.showController(nameOf(client));
    console_.audit("remote: " + nameOf(client) + " is in control (" + why + ")");
}

void RegisterMap::releaseControl(const std::string& why)
{
    console_.audit("remote: " + nameOf(*controller_) + " is no longer in control (" + why + ")");
    controller_.reset();
    console_.showController({});
}

// Turned off, the run a client started is the operator's: the watch lets go
// of it, a start still waiting is called off, and the connection that was in
// control may still stop its run.
void RegisterMap::followRemoteSwitch(const ConsoleReadings& now)
{
    if (now.remoteControlOn == remoteOn_)
        return;
    remoteOn_ = now.remoteControlOn;
    if (remoteOn_) {
        former_.reset();
        console_.audit("remote: remote control turned on by the operator");
        return;
    }
    std::string what = "remote: remote control turned off by the operator";
    if (controller_) {
        former_ = Former{*controller_, std::nullopt, nullptr};
        if (watch_ && watch_->client == *controller_) {
            former_->ticket = watch_->ticket;
            former_->run = watch_->run;
        }
        controller_.reset();
        console_.showController({});
    }
    if (watch_ && watch_->ticket && console_.callOff(*watch_->ticket))
        what += "; the start waiting is called off";
    else if (const std::optional<std::uint64_t> run = watch_ ? (watch_->run ? watch_->run : watch_->ticket->run())
                                                             : std::nullopt)
        what += "; run " + std::to_string(*run) + " is the operator's";
    watch_.reset();
    console_.audit(what);
}

std::vector<RegisterMap::Answer> RegisterMap::tick(Clock::time_point now)
{
    std::vector<Answer> answers;
    const ConsoleReadings readings = console_.read();
    followRemoteSwitch(readings);
    for (auto at = waiting_.begin(); at != waiting_.end();) {
        const RequestId id = at->first;
        Waiting& waiting = *at->second;
        ++at;
        if (now < waiting.giveUpAt)
            continue;
        if (console_.withdraw(id)) {
            lastRefusal_ = Refusal::WindowBusy;
            answers.push_back(withdrawn(id));
        } else {
            waiting.giveUpAt = Clock::time_point::max();  // begun: its outcome comes
        }
    }
    const std::shared_ptr<StartTicket> watched = watch_ ? watch_->ticket : nullptr;
    watch(readings, now);
    // A start the watch called off may still wait for the window.
    if (watched && watched->state() == StartTicket::State::CalledOff)
        for (auto at = waiting_.begin(); at != waiting_.end();) {
            const RequestId id = at->first;
            ++at;
            if (waiting_.at(id)->ticket == watched && console_.withdraw(id))
                answers.push_back(withdrawn(id));
        }
    return answers;
}

void RegisterMap::watch(const ConsoleReadings& now, Clock::time_point at)
{
    if (!watch_)
        return;
    Watch& watched = *watch_;
    if (watched.ticket) {
        switch (watched.ticket->state()) {
        case StartTicket::State::CalledOff:
            watch_.reset();
            return;
        case StartTicket::State::Taken:
            watched.run = watched.ticket->run();
            if (!std::exchange(watched.begun, true))
                console_.audit("remote: run " + std::to_string(*watched.run) + " started by " + watched.name);
            break;
        case StartTicket::State::Armed:
            break;
        }
    }
    // Over: a later run has begun, or this one has ended.
    if (watched.run && (now.run > *watched.run || (now.run == *watched.run && now.state == SequencerState::Idle))) {
        watch_.reset();
        return;
    }
    if (at < watched.heard + timeout_)
        return;
    const std::chrono::nanoseconds silence = at - watched.heard;
    const std::string silent = watched.name + " sent nothing for " + milliseconds(silence);
    if (watched.ticket && watched.ticket->state() == StartTicket::State::Armed && console_.callOff(*watched.ticket)) {
        console_.audit("remote: " + silent + ": its start waiting is called off");
    } else if (const std::optional<std::uint64_t> run = watched.run ? watched.run : watched.ticket->run()) {
        console_.communicationLost(silence, *run);
        console_.audit("remote: run " + std::to_string(*run) + " ended at once: " + silent);
    }
    communicationLost_ = true;
    if (controller_ == watched.client)
        releaseControl("its watch ran out");
    watch_.reset();
}

std::optional<RegisterMap::Clock::time_point> RegisterMap::nextDue() const
{
    std::optional<Clock::time_point> due;
    const auto earlier = [&due](Clock::time_point at) {
        if (!due || at < *due)
            due = at;
    };
    for (const auto& [id, waiting] : waiting_)
        if (waiting->giveUpAt != Clock::time_point::max())
            earlier(waiting->giveUpAt);
    if (watch_)
        earlier(watch_->heard + timeout_);
    return due;
}

bool RegisterMap::tripLatched(const ConsoleReadings& now) const
{
    return refusedStart_ || communicationLost_ || now.trips > tripsAtReset_;
}

std::uint16_t RegisterMap::statusWord(ClientId client, const ConsoleReadings& now) const
{
    const bool waitingStart =
        watch_ && watch_->ticket && watch_->ticket->state() == StartTicket::State::Armed;
    const bool trip = tripLatched(now);
    std::uint16_t word = 0;
    if (now.state == SequencerState::Idle && !waitingStart && !trip)
        word |= status::readyToRun;
    if (now.state == SequencerState::Running)
        word |= status::running;
    if (now.state == SequencerState::Stopping)
        word |= status::stopping;
    if (trip)
        word |= status::trip;
    if (now.state != SequencerState::Idle && (!now.realtime || now.delayCount <= 0))
        word |= status::warning;
    if (now.state == SequencerState::Running && now.measuredFrequency) {
        const double tolerance = std::max(atReferenceShare * now.definedFrequency, 1.0 / frequencyScale);
        if (std::abs(*now.measuredFrequency - now.definedFrequency) <= tolerance)
            word |= status::atReference;
    }
    if (now.remoteControlOn)
        word |= status::remoteControl;
    if (communicationLost_)
        word |= status::communicationLost;
    if (controller_ == client)
        word |= status::inControl;
    else if (controller_)
        word |= status::otherInControl;
    if (waitingStart)
        word |= status::startWaiting;
    return word;
}

std::array<std::uint16_t, holding::writable> RegisterMap::holdingRegisters()
{
    const ConsoleReadings now = console_.read();
    std::array<std::uint16_t, holding::writable> registers{};
    registers[holding::controlWord] = controlWord_;
    registers[holding::speedReference] = scaled<std::uint16_t>(now.speedReference, 1.0);
    registers[holding::ratedVoltage] = scaled<std::uint16_t>(now.ratedVoltage, voltageScale);
    registers[holding::ratedSpeed] = scaled<std::uint16_t>(now.ratedSpeed, 1.0);
    registers[holding::poles] = scaled<std::uint16_t>(now.poles, 1.0);
    registers[holding::voltsPerHertz] = scaled<std::uint16_t>(now.voltsPerHertz, voltsPerHertzScale);
    registers[holding::timeout] = static_cast<std::uint16_t>(timeout_.count());
    return registers;
}

std::array<std::uint16_t, input::count> RegisterMap::inputRegisters(ClientId client)
{
    const ConsoleReadings now = console_.read();
    followRemoteSwitch(now);
    std::array<std::uint16_t, input::count> registers{};
    registers[input::statusWord] = statusWord(client, now);
    const bool idle = now.state == SequencerState::Idle;
    putPair(registers, input::measuredFrequency,
            idle ? 0 : scaled<std::uint32_t>(now.measuredFrequency.value_or(0.0), frequencyScale));
    putPair(registers, input::definedFrequency, scaled<std::uint32_t>(now.definedFrequency, frequencyScale));
    registers[input::requiredVoltage] = scaled<std::uint16_t>(now.requiredVoltage, voltageScale);
    registers[input::lastRefusal] = static_cast<std::uint16_t>(lastRefusal_);
    registers[input::runEndCause] = static_cast<std::uint16_t>(now.endCause);
    registers[input::mapVersion] = mapVersion;
    putPair(registers, input::delayCount,
            now.delayCount < 0 ? 0 : static_cast<std::uint32_t>(std::min<std::uint64_t>(now.delayCount, largestPair)));
    putPair(registers, input::cycles, static_cast<std::uint32_t>(now.cycles & largestPair));
    return registers;
}

}  // namespace app::remote
