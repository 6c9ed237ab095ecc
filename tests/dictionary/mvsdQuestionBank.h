// Test support of the data dictionary tests: the study program's question
// bank described as a data dictionary. The table "qbdb" holds one row per
// examination question; its file also holds the nested tables "qbrecord"
// (one row per answer given) and "gcount" (one row per program run). The
// field names, their order and their kinds of value are the program's; the
// lengths of the texts are this fixture's choice (the program states none).
// Texts are wide strings under the Japanese locale, figures and long texts
// BLOBs.
#pragma once

#include <memory>

#include "dictionary/items/mvsdLocaleDescriptor.h"
#include "dictionary/mvsdDataDictionary.h"

namespace mvtest {

struct QuestionBankField {
  const char16_t* name;
  TmvFieldType type;
  int32_t units;
};

inline constexpr QuestionBankField kQbdbFields[] = {{u"ID", mvtInt32, 0},
                                                    {u"EXAM_NAME", mvtWideString, 40},
                                                    {u"NUMBER", mvtInt32, 0},
                                                    {u"CATEGORY", mvtWideString, 40},
                                                    {u"category_number", mvtInt32, 0},
                                                    {u"category_main", mvtWideString, 40},
                                                    {u"KEYWORD", mvtWideString, 60},
                                                    {u"QUEST_STATE", mvtBlobWideMemo, 0},
                                                    {u"QUEST_FIG", mvtBlobGraphic, 0},
                                                    {u"ANSWER", mvtBlobWideMemo, 0},
                                                    {u"CORRECT", mvtWideString, 1},
                                                    {u"EXPLAIN_STATE", mvtBlobWideMemo, 0},
                                                    {u"EXPLAIN_FIG", mvtBlobGraphic, 0},
                                                    {u"POINT", mvtBlobWideMemo, 0},
                                                    {u"HANTEI", mvtWideString, 1},
                                                    {u"CKMARK", mvtWideString, 1},
                                                    {u"study_date", mvtDate, 0}};

inline constexpr QuestionBankField kQbrecordFields[] = {{u"EXAM_NAME", mvtWideString, 40},
                                                        {u"NUMBER", mvtInt32, 0},
                                                        {u"CATEGORY", mvtWideString, 40},
                                                        {u"category_number", mvtInt32, 0},
                                                        {u"CATEGORY_main", mvtWideString, 40},
                                                        {u"KEYWORD", mvtWideString, 60},
                                                        {u"ANS", mvtWideString, 1},
                                                        {u"HANTEI", mvtWideString, 1},
                                                        {u"DATE_TIME", mvtDateTime, 0},
                                                        {u"ID", mvtInt32, 0},
                                                        {u"MIS", mvtInt32, 0},
                                                        {u"study_date", mvtDate, 0},
                                                        {u"ans_time", mvtTime, 0}};

inline constexpr QuestionBankField kGcountFields[] = {{u"START_DATE_TIME", mvtDateTime, 0},
                                                      {u"END_DATE_TIME", mvtDateTime, 0},
                                                      {u"STUDY_TIME", mvtTime, 0},
                                                      {u"STUDY_DATE", mvtDate, 0},
                                                      {u"STUDY_SEC", mvtInt32, 0}};

template <size_t N>
void AddQuestionBankFields(TmvBaseTableDescriptor& aTable, const QuestionBankField (&aFields)[N]) {
  for (const QuestionBankField& f : aFields)
    aTable.GetFieldsDescriptor()->AddField(f.name, u"", f.type, f.units, 0, false);
}

// The question table "qbdb" with its two nested tables, checked for
// building: unique question IDs, an answer-history index on (ID,
// study_date), a Japanese table locale.
inline std::unique_ptr<TmvDataDictionary> NewQuestionBank() {
  auto dd = std::make_unique<TmvDataDictionary>();
  dd->SetBaseName(u"qbdb");
  dd->AddLocaleDescriptor()->SetLocale(0x411);
  AddQuestionBankFields(*dd, kQbdbFields);
  auto& idKey = static_cast<TmvCompKeyDescriptor&>(
      *dd->GetIndicesDescriptor()->AddIndex(u"ID", 0, idNone, u"question")->GetKeyDescriptor());
  idKey.Add(dd->GetFieldFromName(u"id"));

  TmvTablesDescriptor& tables = *dd->GetTablesDescriptor();
  TmvNestedTableDescriptor* records = tables.AddTable(u"qbrecord");
  AddQuestionBankFields(*records, kQbrecordFields);
  records->AddRecordDescriptor();
  auto& historyKey = static_cast<TmvCompKeyDescriptor&>(
      *records->AddIndicesDescriptor()->AddIndex(u"History", 0, idAll, u"")->GetKeyDescriptor());
  historyKey.Add(records->GetFieldFromName(u"ID"));
  historyKey.Add(records->GetFieldFromName(u"study_date"));

  TmvNestedTableDescriptor* sessions = tables.AddTable(u"gcount");
  AddQuestionBankFields(*sessions, kGcountFields);
  sessions->AddRecordDescriptor();
  dd->CheckValid(true);
  return dd;
}

}  // namespace mvtest
