#pragma once
// The project: TProject carries the header data the user enters and the file name and date of the last change
// that the project store sets; TProjectOp is the root node of the tree. It owns the safety-function nodes,
// checks the project's status and computes the project checksum shown to the user.
#include <memory>
#include <string>

#include "framework/tiValue.h"
#include "model/BOMBase.h"
#include "model/BOMLists.h"
#include "platform/FileIO.h"

namespace kelvado {

class TProject : public TPerObjAbsEx {
public:
  TI_CLASS(TProject)
  TProject();
  ~TProject() override;

  const std::string& GetAuthor() const { return author_; }
  void SetAuthor(const std::string& v) { SetProp(author_, v); }
  const std::string& GetDocument() const { return document_; }
  void SetDocument(const std::string& v) { SetProp(document_, v); }
  // Stored without trailing blanks.
  const std::string& GetDocumentation() const { return documentation_; }
  void SetDocumentation(const std::string& v);
  const std::string& GetDocumentsFolder() const { return documentsFolder_; }
  void SetDocumentsFolder(const std::string& v) { SetProp(documentsFolder_, v); }
  // The date of the last change as a date text; "-" when it was never set.
  std::string GetLastChangeString() const;
  const std::string& GetMachineName() const { return machineName_; }
  void SetMachineName(const std::string& v) { SetProp(machineName_, v); }
  const std::string& GetName() const { return name_; }
  void SetName(const std::string& v) { SetProp(name_, v); }
  const std::string& GetStandardsFolder() const { return standardsFolder_; }
  void SetStandardsFolder(const std::string& v) { SetProp(standardsFolder_, v); }

  // Set by the project store (not published).
  const std::string& GetFileName() const { return fileName_; }
  void SetFileName(const std::string& v) { SetProp(fileName_, v); }
  DateTime GetLastChange() const { return lastChange_; }
  void SetLastChange(DateTime v) { SetProp(lastChange_, v); }
  // The file of the project as the store last read or wrote it (not published, no edit of the project): a
  // save compares it with the file on disk so as not to destroy another program's change.
  const TFileStamp& GetFileStamp() const { return fileStamp_; }
  void SetFileStamp(const TFileStamp& v) { fileStamp_ = v; }
  // The edition text exactly as the file holds it, so that a file of an edition the program does not know is
  // refused naming that edition rather than "unknown".
  const std::string& GetNormVersionOriginalString() const { return normVersionOriginalString_; }
  void SetNormVersionOriginalString(const std::string& v) { normVersionOriginalString_ = v; }

  bool Equals(const TtiObject& other) const override;
  void Assign(const TtiObject& source) override;

private:
  std::string author_;
  std::string document_;
  std::string documentation_;
  std::string documentsFolder_;
  std::string machineName_;
  std::string name_;
  std::string standardsFolder_;
  std::string fileName_;
  std::string normVersionOriginalString_;
  DateTime lastChange_{};
  TFileStamp fileStamp_;
};

class TProjectOp : public TNodeInner {
public:
  TI_CLASS(TProjectOp)
  TProjectOp();
  ~TProjectOp() override;

  // The data object, owned; this node is its Owner.
  TProject* GetProject() const { return project_.get(); }
  void SetProject(std::unique_ptr<TProject> project);
  // The safety-function nodes, owned.
  TSFOpList* GetSFOpList() const { return list_.get(); }
  TSFOpList* GetList() const override { return list_.get(); }
  // The project's name, or the placeholder when it is empty; writing sets the name.
  std::string GetProjectName() const;
  void SetProjectName(const std::string& name);

  std::string GetCaption() const override;
  bool Equals(const TtiObject& other) const override;
  void Assign(const TtiObject& source) override;
  int GetPosition() const override;
  TItemStatus CheckStatus(TStatusMessages* messages, bool recursive) override;
  void Changed() override;

  // The text of the project's edition stamp.
  std::string GetNormVersionString() const;
  // MD5 of the project's detailed debug text as 32 lower-case hexadecimal digits. A value that cannot be
  // computed (a subsystem short of the channels its evaluation needs) raises its error instead.
  void GetHashString(std::string& text) const;
  std::string GetHashString() const;
  bool IsRelevant() const { return true; }

private:
  void DataChanged(TtiObject* sender);
  void ListChanged(TtiObject* sender);

  std::unique_ptr<TProject> project_;
  std::unique_ptr<TSFOpList> list_;
};

}  // namespace kelvado
