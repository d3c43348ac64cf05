// The dispatcher of the units' DU_ commands: records each text in the command
// pane, cuts the command word off its front and carries out the one action of
// that word against the data store, answering and forwarding through the unit
// link. Store failures end the command (no reply) and go to the caller.
// Main thread only. The two one-second pauses hold only the unit that sent
// the command (its later messages wait; units rely on that order), never the
// main thread.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <string_view>

class TDataController;

// What the dispatcher needs of the unit link.
class UnitReplies {
 public:
  virtual ~UnitReplies() = default;
  // Sends text to the unit registered under name; nothing when there is none.
  virtual void SendTextTo(const std::string& name, const std::string& text) = 0;
  virtual int Connection_count() const = 0;
  virtual std::string NameAt(int index) const = 0;
  // Pauses the sender of the text being handled: then runs span from now,
  // before the sender's later texts; other units go on meanwhile.
  virtual void HoldSender(std::chrono::milliseconds span, std::function<void()> then) = 0;
};

class UnitCommandDispatcher {
 public:
  struct Panes {
    std::function<void(const std::string&)> addCommandLine;  // every text received
    std::function<void(const std::string&)> addLogLine;      // every record once written or lost
  };
  static constexpr std::chrono::milliseconds kForwardPause{1000};

  // The store, the link and the two role names belong to the caller and must
  // outlive the dispatcher, which listens to the store's records while it lives.
  UnitCommandDispatcher(TDataController& store, UnitReplies& link, Panes panes,
                        std::string& alarmUnitName, std::string& controlUnitName);
  ~UnitCommandDispatcher();
  UnitCommandDispatcher(const UnitCommandDispatcher&) = delete;
  UnitCommandDispatcher& operator=(const UnitCommandDispatcher&) = delete;

  // Replaces the pause of DU_NEWCONFIGEXISTS and DU_NEWPICTUREEXISTS (for tests).
  void SetPauseSpan(std::chrono::milliseconds span) { pause_ = span; }

  // Text: the message text after the sender's name; ClientName: the sender.
  void HandleUnitText(std::string Text, const std::string& ClientName);

 private:
  using Action = void (UnitCommandDispatcher::*)(std::string argument, const std::string& sender);
  struct Command {
    const char* keyword;
    Action action;
  };
  static const Command kCommands[];

  void MakeUnitDirectory(std::string argument, const std::string& sender);
  void MakeCameraDirectory(std::string argument, const std::string& sender);
  void MakeSensorFile(std::string argument, const std::string& sender);
  void SaveLog(std::string argument, const std::string& sender);
  void SaveConfig(std::string argument, const std::string& sender);
  void GetConfigNames(std::string argument, const std::string& sender);
  void GiveLatestPictureFileName(std::string argument, const std::string& sender);
  void GetAllPictures(std::string argument, const std::string& sender);
  void GiveLogFileNames(std::string argument, const std::string& sender);
  void GiveAlarmFileName(std::string argument, const std::string& sender);
  void NewConfigExists(std::string argument, const std::string& sender);
  void TakeNewPicture(std::string argument, const std::string& sender);
  void SensorUnitAlarm(std::string argument, const std::string& sender);
  void NewPictureExists(std::string argument, const std::string& sender);
  void AlarmUnitAlarm(std::string argument, const std::string& sender);
  void AlarmUnitInit(std::string argument, const std::string& sender);
  void Check(std::string argument, const std::string& sender);
  void ControlUnitInit(std::string argument, const std::string& sender);
  void SensorUnitAsksForConfig(std::string argument, const std::string& sender);

  void ShowRecord(std::string_view record, const std::string& notStored);
  std::string UnitDirectory(const std::string& unit) const;
  bool ConfigBelongsTo(std::string entry, const std::string& unit) const;

  TDataController& store_;
  UnitReplies& link_;
  Panes panes_;
  std::string& alarmUnitName_;
  std::string& controlUnitName_;
  std::chrono::milliseconds pause_ = kForwardPause;
};
