// The register map: a request checked whole before anything is done, the
// state machine of remote start and stop moved by the requests and by what
// the console did, the communication-loss watch, and the status word.
#include "app/remote/registermap.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace app::remote {

namespace {

using port::run::SequencerState;
using port::run::StartTicket;

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

bool fits(std::uint16_t address, std::uint16_t value)
{
    switch (address) {
    case holding::controlWord:
        return (value & ~control::defined) == 0;  // a reserved bit set is refused
    case holding::speedReference:
    case holding::ratedSpeed:
        return limits::speed.take(value);
    case holding::ratedVoltage:
        return limits::ratedVoltage.take(value);
    case holding::poles:
        return limits::poles.take(value);
    case holding::voltsPerHertz:
        return limits::voltsPerHertz.take(value);
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

std::string dotted(std::uint32_t address)
{
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8)
        text += std::to_string((address >> shift) & 0xFF) + (shift > 0 ? "." : "");
    return text;
}

EndCode endCodeOf(port::run::RunEndCause cause)
{
    return static_cast<EndCode>(cause);  // 1-5 alike
}

// A client with a run or a start of its own, or one that may start one.
bool controlled(ControlState state)
{
    return state == ControlState::Starting || state == ControlState::Running;
}

// A run alive, or a start waiting: only the client in control writes.
bool busy(ControlState state)
{
    return controlled(state) || state == ControlState::Unattended;
}

}  // namespace

std::uint8_t exceptionFor(Refusal refusal)
{
    switch (refusal) {
    case Refusal::RemoteControlOff:
    case Refusal::NotInControl:
        return static_cast<std::uint8_t>(Exception::IllegalFunction);
    case Refusal::WindowBusy:
    case Refusal::CalledOff:
        return static_cast<std::uint8_t>(Exception::Busy);
    default:
        return static_cast<std::uint8_t>(Exception::DeviceFailure);
    }
}

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
        return "a run is alive, or a start waits, that another controls";
    case Refusal::TwoPoleSpeed:
        return "the speed is above 2100 rpm with 2 poles";
    case Refusal::FourPoleSpeed:
        return "the speed is above 1050 rpm with 4 poles";
    case Refusal::AboveRatedSpeed:
        return "the speed is above the rated speed";
    case Refusal::VoltageNotBelowRating:
        return "the required voltage is not below the rated voltage";
    case Refusal::ZeroFrequency:
        return "the frequency is 0 Hz";
    case Refusal::FrequencyOutOfRange:
        return "the frequency is too large or too small to divide into steps";
    case Refusal::RunAlive:
        return "the rating, the poles and V/f are written only while no run is alive and no start waits";
    case Refusal::TripLatched:
        return "a trip is latched: reset the fault first";
    case Refusal::FullSpeed:
        return "the delay count would not be above 0";
    case Refusal::Locked:
        return "the register is locked by the commissioning file";
    case Refusal::CalledOff:
        return "a STOP sent after it called the start off; it never ran";
    case Refusal::StopOnly:
        return "the STOP in it was taken, the rest of it not written";
    }
    return "unknown";
}

struct RegisterMap::Waiting {
    ClientId connection;
    std::string client;
    Request request;
    Clock::time_point giveUpAt;
    std::shared_ptr<StartTicket> ticket;  // a start
    bool resetEdge = false;               // a fault reset, done with the request
    bool changes = false;                 // it writes a value other than the one in effect
};

RegisterMap::RegisterMap(Console& console, const Identity& identity, std::vector<std::uint16_t> locked)
    : console_(console), identity_(identity), locked_(std::move(locked)),
      log_([&console](const std::string& line) { console.audit(line); })
{
    const ConsoleReadings now = console_.read();
    remoteOn_ = now.remoteControlOn;
    state_ = remoteOn_ ? (now.identity.alive() ? ControlState::Unattended : ControlState::Ready) : ControlState::Off;
    seen_ = now.identity;
    tripsSeen_ = now.trips;
    switchesSeen_ = now.switchChanges;
    resetsSeen_ = now.operatorResets;
}

RegisterMap::~RegisterMap() = default;

// ---- clients

void RegisterMap::connected(ClientId connection, Peer peer)
{
    Connection& added = connections_[connection];
    added.own = peer.identity.empty() ? "#" + std::to_string(connection) : peer.identity;
    added.client = added.own;
    Client& client = clients_[added.own];
    client.name = peer.identity.empty() ? peer.name : peer.identity;
    client.address = peer.address;
    client.port = peer.port;
    client.connections.insert(connection);
    added.peer = std::move(peer);
}

void RegisterMap::addressed(ClientId connection, std::uint8_t unit)
{
    const auto found = connections_.find(connection);
    if (found == connections_.end() || !found->second.peer.identity.empty())
        return;
    Connection& named = found->second;
    constexpr std::uint8_t highestUnit = 247;  // 248-255 are reserved; 0 and 255 address "this device"
    const std::string key =
        unit >= 1 && unit <= highestUnit ? dotted(named.peer.address) + " unit " + std::to_string(unit) : named.own;
    if (key == named.client)
        return;
    clients_[named.client].connections.erase(connection);
    named.client = key;
    Client& client = clients_[key];
    client.name = key;
    client.address = named.peer.address;
    client.port = named.peer.port;
    client.connections.insert(connection);
}

RegisterMap::Client& RegisterMap::clientOf(ClientId connection)
{
    const auto found = connections_.find(connection);
    if (found != connections_.end())
        return clients_[found->second.client];
    // Not announced (a test's shortcut): a client of its own.
    connected(connection, {"connection " + std::to_string(connection), 0, 0, {}});
    return clients_[connections_.at(connection).client];
}

std::string RegisterMap::nameOf(const std::string& client) const
{
    const auto found = clients_.find(client);
    return found != clients_.end() ? found->second.name : client;
}

std::string RegisterMap::controller() const
{
    return controller_ ? nameOf(*controller_) : std::string();
}

void RegisterMap::closed(ClientId connection, Clock::time_point now)
{
    const auto found = connections_.find(connection);
    if (found == connections_.end())
        return;
    for (auto at = waiting_.begin(); at != waiting_.end();) {
        if (at->second->connection != connection) {
            ++at;
            continue;
        }
        dropStart(*at->second);
        // Begun, its outcome still comes; nobody is left to answer.
        console_.withdraw(at->first);
        at = waiting_.erase(at);
    }
    const std::string own = found->second.own;
    clients_[found->second.client].connections.erase(connection);
    connections_.erase(found);
    // A named client may come back; one that was this connection cannot.
    if (clients_[own].connections.empty() && own.starts_with('#')) {
        if (controller_ == own) {
            if (watch_ && watch_->ticket->waiting() && console_.callOff(*watch_->ticket))
                endCode_ = EndCode::ClientClosed;
            loseControl("its connection closed", now);
            observe(console_.read(), now);
        }
        if (former_ && former_->client == own)
            former_.reset();
        clients_.erase(own);
    }
    showView();
}

// ---- requests

std::vector<RegisterMap::Answer> RegisterMap::arrived(std::span<const std::uint8_t> pdu, ClientId connection,
                                                      Clock::time_point now)
{
    lastNow_ = now;
    std::vector<Answer> answers;
    Client& client = clientOf(connection);
    Connection& from = connections_.at(connection);
    from.arrivals.push_back({++arrivals_});
    const auto decoded = decode(pdu);
    const Request* request = std::get_if<Request>(&decoded);
    if (!request || !request->write)
        return answers;
    observe(console_.read(), now);
    const Request::Write& write = *request->write;
    const std::optional<std::uint16_t> word = writtenAt(write, holding::controlWord);
    if (watch_ && watch_->client == from.client && (word || writtenAt(write, holding::speedReference)))
        watch_->heard = now;
    if (word && !(*word & control::run) && mayStop(from.client)) {
        from.arrivals.back().stopped = true;
        from.arrivals.back().before = client.word;
        lastStopArrival_ = arrivals_;
        stopFrom(connection, answers, now);
        // Its RUN 0 counts after the stop it made.
        client.word = static_cast<std::uint16_t>(*word & control::defined);
        client.wordAfter = stops_;
    }
    return answers;
}

// RUN 0 from a client that may stop: any while remote control is on, the
// former controller while it is off.
bool RegisterMap::mayStop(const std::string& client) const
{
    return remoteOn_ || (former_ && former_->client == client);
}

// The run alive ends, and every start sent before this STOP that has not
// begun never does: those at the window (called off first, so that none
// begins behind the STOP's back), the one waiting for the self-test or
// behind a run still stopping, and those still queued on any connection
// (handle() answers them).
void RegisterMap::stopFrom(ClientId connection, std::vector<Answer>& answers, Clock::time_point now)
{
    const std::string& client = connections_.at(connection).client;
    const port::run::RunIdentity before = seen_;  // as arrived() has just looked
    bool stopped = false;
    if (remoteOn_) {
        for (auto at = waiting_.begin(); at != waiting_.end();) {
            const RequestId id = at->first;
            ++at;
            if (waiting_.at(id)->ticket && console_.withdraw(id)) {
                answers.push_back(withdrawn(id, Refusal::CalledOff, now));
                stopped = true;
            }
        }
        if (watch_ && watch_->ticket->waiting() && console_.callOff(*watch_->ticket))
            stopped = true;
        stopped = console_.stop(std::nullopt) || stopped;
    } else if (former_ && former_->run) {
        stopped = console_.stop(former_->run);
    }
    if (!stopped)
        return;
    countStop();
    const bool own = controller_ == client || (former_ && former_->client == client);
    if (before.alive())
        remoteStop_ = RemoteStop{before.run, own ? EndCode::ControllerStop : EndCode::OtherStop, nameOf(client)};
    log("remote: " + nameOf(client) + ": STOP", true, now);
    observe(console_.read(), now);
}

RegisterMap::Answer RegisterMap::withdrawn(RequestId id, Refusal why, Clock::time_point now)
{
    const std::unique_ptr<Waiting> waiting = std::move(waiting_.at(id));
    waiting_.erase(id);
    dropStart(*waiting);
    lastRefusal_ = why;
    log("remote: " + nameOf(waiting->client) + " wrote " + described(*waiting->request.write) +
            ": never ran, exception 6 (" + std::string(refusalText(why)) + ")",
        false, now);
    return {waiting->connection, exceptionReply(waiting->request.function, Exception::Busy)};
}

// A start that will not happen: its ticket Dropped, which the state
// machine learns as it learns every other end of a start.
void RegisterMap::dropStart(const Waiting& waiting)
{
    if (waiting.ticket)
        console_.callOff(*waiting.ticket);
}

std::optional<std::vector<std::uint8_t>> RegisterMap::handle(std::span<const std::uint8_t> pdu, ClientId connection,
                                                             Clock::time_point now)
{
    lastNow_ = now;
    clientOf(connection);
    std::deque<Arrival>& arrivals = connections_.at(connection).arrivals;
    if (arrivals.empty())
        arrived(pdu, connection, now);  // handed straight to its turn (a test's shortcut)
    const Arrival arrival = arrivals.front();
    arrivals.pop_front();
    const auto decoded = decode(pdu);
    if (const Exception* exception = std::get_if<Exception>(&decoded))
        return exceptionReply(pdu.empty() ? 0 : pdu[0], *exception);
    const Request& request = std::get<Request>(decoded);
    if (request.write)
        return write(request, connection, arrival, now);
    observe(console_.read(), now);
    return serve(request, connection);
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

std::vector<std::uint8_t> RegisterMap::serve(const Request& request, ClientId connection)
{
    if (request.identification)
        return identificationReply(*request.identification, identity_);
    const Request::Read& read = *request.read;
    if (const auto fault = readFault(read))
        return exceptionReply(request.function, *fault);
    std::vector<std::uint16_t> registers;
    if (read.table == Request::Table::Input) {
        const auto all = inputRegisters(connection);
        registers.assign(all.begin() + read.start, all.begin() + read.start + read.count);
    } else if (read.start < holding::writable) {
        const auto all = holdingRegisters(connection);
        registers.assign(all.begin() + read.start, all.begin() + read.start + read.count);
    } else {
        const auto all = inputRegisters(connection);
        const std::size_t from = read.start - holding::statusBlock;
        registers.assign(all.begin() + from, all.begin() + from + read.count);
    }
    return readReply(request.function, registers);
}

std::vector<std::uint8_t> RegisterMap::refuse(std::uint8_t function, Refusal refusal)
{
    lastRefusal_ = refusal;
    return exceptionReply(function, static_cast<Exception>(exceptionFor(refusal)));
}

// Checked whole first: addresses, values, who may write, what the state
// allows. A STOP that acted as the request arrived makes it answered as
// taken, whatever else it held; the rest is written only when all of it
// would be. What needs the window goes there; the timeout and a fault reset
// are done with it, once it is done.
std::optional<std::vector<std::uint8_t>> RegisterMap::write(const Request& request, ClientId connection,
                                                            const Arrival& arrival, Clock::time_point now)
{
    const Request::Write& write = *request.write;
    const std::string who = "remote: " + nameOf(connections_.at(connection).client) + " wrote " + described(write) + ": ";
    const auto refused = [&](std::vector<std::uint8_t> reply, std::string_view why) {
        if (arrival.stopped) {
            lastRefusal_ = Refusal::StopOnly;
            log(who + "STOP taken, the rest not written (" + std::string(why) + ")", false, now);
            return afterWrite(request, connection);
        }
        log(who + "refused, exception " + std::to_string(reply[1]) + " (" + std::string(why) + ")", false, now);
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
    observe(readings, now);
    const std::string key = connections_.at(connection).client;
    Client& client = clients_[key];
    const std::optional<std::uint16_t> word = writtenAt(write, holding::controlWord);
    const std::optional<std::uint16_t> previous = arrival.stopped ? arrival.before : client.word;
    // Whether RUN 1 is a start is judged on what this client wrote before.
    const bool armedBefore = armed(client);
    if (word && !arrival.stopped) {
        client.word = *word;
        client.wordAfter = stops_;
    }
    // A fault reset in a control word makes the RUN in it no start: the
    // reset is a stop, and this client's RUN 0 came before it.
    const bool resetEdge = word && (*word & control::faultReset) && !(previous.value_or(0) & control::faultReset);
    if (arrival.stopped && write.values.size() == 1) {
        if (resetEdge && remoteOn_)
            apply(write, true, nameOf(key), now);
        log(who + "taken as a STOP", false, now);
        return afterWrite(request, connection);
    }
    if (!remoteOn_)
        return refused(refuse(request.function, Refusal::RemoteControlOff), refusalText(Refusal::RemoteControlOff));
    const bool inControl = controller_ == key;
    if (busy(state_) && !inControl)
        return refused(refuse(request.function, Refusal::NotInControl), refusalText(Refusal::NotInControl));

    WindowRequest asked;
    bool referenceWritten = false;
    bool changes = false;
    const auto inEffect = holdingRegisters(connection, readings);
    for (std::size_t i = 0; i < write.values.size(); ++i) {
        const auto address = static_cast<std::uint16_t>(write.start + i);
        if (std::ranges::find(locked_, address) != locked_.end())
            return refused(refuse(request.function, Refusal::Locked), refusalText(Refusal::Locked));
        changes = changes || (address != holding::controlWord && inEffect[address] != write.values[i]);
        if (const std::optional<FieldValue> field = fieldAt(address, write.values[i])) {
            asked.fields.push_back(*field);
            referenceWritten = referenceWritten || address == holding::speedReference;
            asked.ratingWritten = asked.ratingWritten || address != holding::speedReference;
        }
    }
    if (asked.ratingWritten && (readings.identity.alive() || state_ == ControlState::Starting))
        return refused(refuse(request.function, Refusal::RunAlive), refusalText(Refusal::RunAlive));
    const bool runEdge = word && (*word & control::run) && !resetEdge && armedBefore;
    if (runEdge && arrival.number < lastStopArrival_) {
        lastRefusal_ = Refusal::CalledOff;
        log(who + "never ran, exception 6 (" + std::string(refusalText(Refusal::CalledOff)) + ")", false, now);
        return exceptionReply(request.function, Exception::Busy);
    }
    if (runEdge && trip_)
        return refused(refuse(request.function, Refusal::TripLatched), refusalText(Refusal::TripLatched));
    changes = changes || resetEdge || (word && previous != word);

    if (asked.fields.empty() && !runEdge) {
        apply(write, resetEdge, nameOf(key), now);
        log(who + "taken", changes, now);
        return afterWrite(request, connection);
    }

    auto waiting = std::make_unique<Waiting>();
    waiting->connection = connection;
    waiting->client = key;
    waiting->request = request;
    waiting->giveUpAt = now + windowWait;
    waiting->resetEdge = resetEdge;
    waiting->changes = changes || runEdge;
    if (runEdge) {
        asked.action = WindowRequest::Action::Start;
        asked.ticket = waiting->ticket = std::make_shared<StartTicket>();
        if (!inControl)
            takeControl(key, now);
        watch_ = Watch{key, nameOf(key), asked.ticket, std::nullopt, now};
        enter(ControlEvent::Edge, readings.identity.alive(), nameOf(key) + "'s RUN", now);
    } else if (referenceWritten && controlled(state_) && inControl && watch_) {
        asked.action = WindowRequest::Action::NewCount;
        asked.ticket = watch_->ticket;
    } else {
        asked.whileIdle = state_ == ControlState::Ready;
    }
    const RequestId id = nextRequest_++;
    waiting_.emplace(id, std::move(waiting));
    console_.submit(id, std::move(asked));
    return std::nullopt;
}

std::optional<RegisterMap::Answer> RegisterMap::completed(RequestId id, WindowOutcome outcome, Clock::time_point now)
{
    lastNow_ = now;
    const auto found = waiting_.find(id);
    if (found == waiting_.end())
        return std::nullopt;  // its connection has gone
    const std::unique_ptr<Waiting> waiting = std::move(found->second);
    waiting_.erase(found);
    const std::string who =
        "remote: " + nameOf(waiting->client) + " wrote " + described(*waiting->request.write) + ": ";
    if (outcome.kind == WindowOutcome::Kind::Refused) {
        dropStart(*waiting);
        if (waiting->ticket && refusedByCheck(outcome.refusal)) {
            latchTrip(EndCode::StartRefused);
            countStop();
        }
        std::vector<std::uint8_t> reply = refuse(waiting->request.function, outcome.refusal);
        log(who + "refused, exception " + std::to_string(reply[1]) + " (" +
                std::string(refusalText(outcome.refusal)) + ")",
            true, now);
        observe(console_.read(), now);
        return Answer{waiting->connection, std::move(reply)};
    }
    if (waiting->ticket && waiting->ticket->state() == StartTicket::State::Dropped) {
        // A STOP sent after it called it off while the window did it.
        lastRefusal_ = Refusal::CalledOff;
        log(who + "never ran, exception 6 (" + std::string(refusalText(Refusal::CalledOff)) + ")", true, now);
        observe(console_.read(), now);
        return Answer{waiting->connection, exceptionReply(waiting->request.function, Exception::Busy)};
    }
    apply(*waiting->request.write, waiting->resetEdge, nameOf(waiting->client), now);
    log(who + "taken", waiting->changes, now);
    observe(console_.read(), now);
    return Answer{waiting->connection, afterWrite(waiting->request, waiting->connection)};
}

void RegisterMap::apply(const Request::Write& write, bool resetEdge, const std::string& by, Clock::time_point now)
{
    if (resetEdge)
        clearTrip(by, now);
    if (const std::optional<std::uint16_t> timeout = writtenAt(write, holding::timeout))
        timeout_ = std::chrono::milliseconds(*timeout);
}

std::vector<std::uint8_t> RegisterMap::afterWrite(const Request& request, ClientId connection)
{
    if (!request.read)
        return writeReply(request);
    Request read = request;
    read.write.reset();
    return serve(read, connection);
}

// ---- what the console did

void RegisterMap::observe(const ConsoleReadings& now, Clock::time_point at)
{
    // Most looks find nothing new: a run, a switch, a trip, a reset, the
    // watched start's ticket all as they were.
    if (now.identity == seen_ && now.switchChanges == switchesSeen_ && now.operatorResets == resetsSeen_ &&
        now.trips <= tripsSeen_ && !(watch_ && !watch_->run && !watch_->ticket->waiting()))
        return;
    // The switch, counted: off and on again between two looks is still a
    // stop, and calls off what waited.
    if (now.switchChanges != switchesSeen_) {
        const bool twice = now.switchChanges - switchesSeen_ >= 2;
        switchesSeen_ = now.switchChanges;
        if (remoteOn_ || twice)
            switched(false, now, at);
        if (now.remoteControlOn)
            switched(true, now, at);
    }
    if (now.operatorResets != resetsSeen_) {
        resetsSeen_ = now.operatorResets;
        clearTrip("the operator", at);
    }
    if (now.trips > tripsSeen_) {
        tripsSeen_ = now.trips;
        // The cause is the run's alive now; a run begun since has none to say.
        latchTrip(endCodeOf(now.endCause));
        countStop();
    }
    if (watch_ && !watch_->run) {
        switch (watch_->ticket->state()) {
        case StartTicket::State::Started:
            watch_->run = watch_->ticket->run();
            enter(ControlEvent::StartBegan, true,
                  "run " + std::to_string(*watch_->run) + " started by " + watch_->name, at);
            break;
        case StartTicket::State::Dropped:
            watch_.reset();
            enter(ControlEvent::StartDropped, now.identity.alive(), "the start was dropped", at);
            break;
        case StartTicket::State::Armed:
        case StartTicket::State::Queued:
            break;
        }
    }
    // The runs that ended and began since the last look; of several, the
    // newest is the one that counts.
    const port::run::RunIdentity last = std::exchange(seen_, now.identity);
    if (last.alive() && (now.identity.run != last.run || !now.identity.alive()))
        runEnded(last.run, now);
    if (now.identity.run != last.run && now.identity.run > 0) {
        runBegan(now.identity.run);
        if (!now.identity.alive())
            runEnded(now.identity.run, now);
    }
    showView();
}

void RegisterMap::runBegan(std::uint64_t run)
{
    if (watch_ && watch_->run == run)
        return;  // a client's start, which its ticket has said
    if (state_ == ControlState::Ready)
        enter(ControlEvent::RunBegan, true, "run " + std::to_string(run) + " is the operator's", lastNow_);
}

// Why it ended, from what ended it: a trip's cause, a STOP from afar (whose),
// the operator's STOP or EXIT.
void RegisterMap::runEnded(std::uint64_t run, const ConsoleReadings& now)
{
    const port::run::RunEndCause cause =
        now.identity.run == run ? now.endCause : port::run::RunEndCause::None;
    bool remote = false;
    if (cause != port::run::RunEndCause::None) {
        endCode_ = endCodeOf(cause);
    } else if (now.lastEnd.run == run) {
        switch (now.lastEnd.source) {
        case port::run::StopSource::Remote:
            remote = true;
            endCode_ = remoteStop_ && remoteStop_->run == run ? remoteStop_->code : EndCode::OtherStop;
            stoppedBy_ = remoteStop_ && remoteStop_->run == run ? remoteStop_->client : std::string();
            break;
        case port::run::StopSource::Operator:
            endCode_ = EndCode::OperatorStop;
            break;
        case port::run::StopSource::ShutDown:
            endCode_ = EndCode::OperatorExit;
            break;
        case port::run::StopSource::None:
            break;
        }
    }
    if (!remote)
        countStop();  // a STOP from afar has counted as it acted
    if (former_ && former_->run == run)
        former_.reset();
    const bool watched = watch_ && watch_->run == run;
    if (watched)
        watch_.reset();
    if (state_ == ControlState::Unattended || (state_ == ControlState::Running && (watched || !watch_)))
        enter(ControlEvent::RunEnded, false, "run " + std::to_string(run) + " ended", lastNow_);
}

// Turned off, the run a client started is the operator's: the watch lets go
// of it, a start still waiting is called off, and the client that was in
// control may still stop its run.
void RegisterMap::switched(bool on, const ConsoleReadings& now, Clock::time_point at)
{
    remoteOn_ = on;
    countStop();
    const std::string by = now.switchedByFile ? " by the commissioning file" : " by the operator";
    if (on) {
        former_.reset();
        enter(ControlEvent::SwitchedOn, now.identity.alive(), "remote control turned on" + by, at);
        return;
    }
    std::string why = "remote control turned off" + by;
    if (controller_) {
        former_ = Former{*controller_, std::nullopt};
        if (watch_ && watch_->client == *controller_)
            former_->run = watch_->run;
    }
    if (watch_ && !watch_->ticket->run()) {
        // The window has called it off as it switched; nothing of it began.
        console_.callOff(*watch_->ticket);
        endCode_ = EndCode::SwitchedOff;
        why += "; the start waiting is called off";
    } else if (watch_ && watch_->run && now.identity.state == port::run::SequencerState::Running &&
               now.identity.run == *watch_->run) {
        why += "; run " + std::to_string(*watch_->run) + " is the operator's now";
    }
    watch_.reset();
    controller_.reset();
    enter(ControlEvent::SwitchedOff, now.identity.alive(), why, at);
}

std::vector<RegisterMap::Answer> RegisterMap::tick(Clock::time_point now)
{
    lastNow_ = now;
    std::vector<Answer> answers;
    observe(console_.read(), now);
    for (auto at = waiting_.begin(); at != waiting_.end();) {
        const RequestId id = at->first;
        Waiting& waiting = *at->second;
        ++at;
        if (now < waiting.giveUpAt)
            continue;
        if (console_.withdraw(id))
            answers.push_back(withdrawn(id, Refusal::WindowBusy, now));
        else
            waiting.giveUpAt = Clock::time_point::max();  // begun: its outcome comes
    }
    if (!answers.empty())
        observe(console_.read(), now);  // a start withdrawn is watched no more
    if (watch_ && now >= watch_->heard + timeout_) {
        const std::shared_ptr<StartTicket> watched = watch_->ticket;
        watch(now);
        // A start the watch called off may still wait for the window.
        for (auto at = waiting_.begin(); at != waiting_.end();) {
            const RequestId id = at->first;
            ++at;
            if (watched->state() == StartTicket::State::Dropped && waiting_.at(id)->ticket == watched &&
                console_.withdraw(id))
                answers.push_back(withdrawn(id, Refusal::WindowBusy, now));
        }
        observe(console_.read(), now);
    }
    log_.flush(now);
    showView();
    return answers;
}

void RegisterMap::watch(Clock::time_point at)
{
    if (!watch_ || at < watch_->heard + timeout_)
        return;
    const Watch watched = *std::exchange(watch_, std::nullopt);
    const std::chrono::nanoseconds silence = at - watched.heard;
    const std::string silent = watched.name + " sent nothing for " + milliseconds(silence);
    if (watched.ticket->waiting() && console_.callOff(*watched.ticket)) {
        log("remote: " + silent + ": its start waiting is called off", true, at);
        endCode_ = EndCode::CommunicationLost;
    } else if (const std::optional<std::uint64_t> run = watched.run ? watched.run : watched.ticket->run()) {
        console_.communicationLost(silence, *run);
        log("remote: run " + std::to_string(*run) + " ended at once: " + silent, true, at);
    }
    latchTrip(EndCode::CommunicationLost);
    countStop();
    if (controller_ == watched.client)
        loseControl("its watch ran out", at);
}

std::optional<RegisterMap::Clock::time_point> RegisterMap::nextDue() const
{
    std::optional<Clock::time_point> due = log_.nextDue();
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

// ---- the state machine

void RegisterMap::enter(ControlEvent event, bool runAlive, const std::string& why, Clock::time_point at)
{
    const ControlState next = nextState(state_, event, runAlive);
    if (next == state_) {
        if (!why.empty() && event != ControlEvent::RunEnded && event != ControlEvent::RunBegan)
            log("remote: " + why, true, at);
        return;
    }
    if (controlled(state_) && !controlled(next) && controller_)
        loseControl("", at);
    // Losing control says its own line first; the transition then says what is left.
    const std::string said = why.empty() ? "nobody is in control" : why;
    log("remote: " + std::string(stateName(state_)) + " -> " + std::string(stateName(next)) + ": " + said, true, at);
    state_ = next;
    showView();
}

void RegisterMap::takeControl(const std::string& client, Clock::time_point at)
{
    controller_ = client;
    countStop();  // control changing hands
    log("remote: " + nameOf(client) + " is in control (its RUN)", true, at);
}

void RegisterMap::loseControl(const std::string& why, Clock::time_point at)
{
    if (!controller_)
        return;
    const std::string who = nameOf(*std::exchange(controller_, std::nullopt));
    if (!why.empty()) {
        countStop();  // control changing hands
        log("remote: " + who + " is no longer in control (" + why + ")", true, at);
        const ConsoleReadings now = console_.read();
        enter(ControlEvent::ControlLost, now.identity.alive(), "", at);
    }
    showView();
}

void RegisterMap::latchTrip(EndCode trip)
{
    if (!trip_ || *trip_ == EndCode::None)
        trip_ = trip;
}

void RegisterMap::clearTrip(const std::string& by, Clock::time_point at)
{
    countStop();
    tripsSeen_ = console_.read().trips;
    if (!trip_ && lastRefusal_ == Refusal::None)
        return;
    trip_.reset();
    lastRefusal_ = Refusal::None;
    log("remote: fault reset by " + by, true, at);
    showView();
}

// Its own RUN 0, written after the last stop of any kind.
bool RegisterMap::armed(const Client& client) const
{
    return client.word && !(*client.word & control::run) && client.wordAfter == stops_;
}

void RegisterMap::showView()
{
    RemoteView view{controller(), trip_, endCode_, stoppedBy_};
    if (view.controller == shown_.controller && view.trip == shown_.trip && view.lastEnd == shown_.lastEnd &&
        view.stoppedBy == shown_.stoppedBy)
        return;
    shown_ = view;
    console_.show(view);
}

void RegisterMap::log(const std::string& line, bool changed, Clock::time_point at)
{
    log_.add(line, changed, at);
}

// ---- the registers

std::uint16_t RegisterMap::statusWord(ClientId connection, const ConsoleReadings& now)
{
    const std::string& key = connections_.at(connection).client;
    const bool trip = trip_.has_value();
    const bool ready = state_ == ControlState::Ready;
    std::uint16_t word = 0;
    if (ready && !trip && armed(clients_[key]))
        word |= status::readyToRun;
    if (ready && !armed(clients_[key]))
        word |= status::startInhibited;
    if (now.identity.state == SequencerState::Running)
        word |= status::running;
    if (now.identity.state == SequencerState::Stopping)
        word |= status::stopping;
    if (trip)
        word |= status::trip;
    if (now.identity.alive() && (!now.realtime || now.delayCount <= 0))
        word |= status::warning;
    if (now.identity.state == SequencerState::Running && now.measuredFrequency) {
        const double tolerance = std::max(atReferenceShare * now.definedFrequency, 1.0 / frequencyScale);
        if (std::abs(*now.measuredFrequency - now.definedFrequency) <= tolerance)
            word |= status::atReference;
    }
    if (remoteOn_)
        word |= status::remoteControl;
    if (trip_ == EndCode::CommunicationLost)
        word |= status::communicationLost;
    if (controller_ == key)
        word |= status::inControl;
    else if (controller_)
        word |= status::otherInControl;
    if (state_ == ControlState::Starting)
        word |= status::startWaiting;
    return word;
}

std::array<std::uint16_t, holding::writable> RegisterMap::holdingRegisters(ClientId connection)
{
    return holdingRegisters(connection, console_.read());
}

std::array<std::uint16_t, holding::writable> RegisterMap::holdingRegisters(ClientId connection,
                                                                          const ConsoleReadings& now)
{
    std::array<std::uint16_t, holding::writable> registers{};
    registers[holding::controlWord] = clientOf(connection).word.value_or(0);
    registers[holding::speedReference] = scaled<std::uint16_t>(now.speedReference, 1.0);
    registers[holding::ratedVoltage] = scaled<std::uint16_t>(now.ratedVoltage, voltageScale);
    registers[holding::ratedSpeed] = scaled<std::uint16_t>(now.ratedSpeed, 1.0);
    registers[holding::poles] = scaled<std::uint16_t>(now.poles, 1.0);
    registers[holding::voltsPerHertz] = scaled<std::uint16_t>(now.voltsPerHertz, voltsPerHertzScale);
    registers[holding::timeout] = static_cast<std::uint16_t>(timeout_.count());
    return registers;
}

std::array<std::uint16_t, input::count> RegisterMap::inputRegisters(ClientId connection)
{
    clientOf(connection);
    const ConsoleReadings now = console_.read();
    observe(now, lastNow_);
    std::array<std::uint16_t, input::count> registers{};
    registers[input::statusWord] = statusWord(connection, now);
    const bool alive = now.identity.alive();
    putPair(registers, input::measuredFrequency,
            alive ? scaled<std::uint32_t>(now.measuredFrequency.value_or(0.0), frequencyScale) : 0);
    putPair(registers, input::definedFrequency, alive ? scaled<std::uint32_t>(now.definedFrequency, frequencyScale) : 0);
    registers[input::requiredVoltage] = scaled<std::uint16_t>(now.requiredVoltage, voltageScale);
    registers[input::lastRefusal] = static_cast<std::uint16_t>(lastRefusal_);
    registers[input::runEndCause] = static_cast<std::uint16_t>(endCode_);
    registers[input::mapVersion] = mapVersion;
    putPair(registers, input::delayCount,
            now.delayCount < 0 ? 0 : static_cast<std::uint32_t>(std::min<std::uint64_t>(now.delayCount, largestPair)));
    putPair(registers, input::cycles, static_cast<std::uint32_t>(now.cycles & largestPair));
    if (controller_) {
        const Client& client = clients_[*controller_];
        putPair(registers, input::controller, client.address);
        registers[input::controllerPort] = client.connections.empty() ? 0 : client.port;
    }
    return registers;
}

}  // namespace app::remote
