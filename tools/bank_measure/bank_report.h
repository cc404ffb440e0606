// The survey as people read it: a fixed-width table with one row per program (failing cells
// marked with '!'), the same table as CSV, and the failures in words.
#pragma once

#include "tools/bank_measure/bank_survey.h"

#include <string>
#include <vector>

namespace bank_measure {

struct TableCell {
    std::string text;
    bool failed = false;
};

struct Table {
    std::vector<std::string> headers;
    std::vector<bool> leftAligned; ///< per column
    std::vector<std::vector<TableCell>> rows;
};

/// One row per measured slot of slots, in that order.
Table buildTable(const BankSurvey& survey, const std::vector<int>& slots);
/// Columns padded to their widest cell, each cell followed by its mark ('!' or a space).
std::string formatTable(const Table& table);
/// The table as CSV: a header line, then one line per row, plus a last column naming the
/// failed targets (separated by ';'). Cells holding a comma or a quote are quoted.
std::string formatCsv(const Table& table, const BankSurvey& survey, const std::vector<int>& slots);
/// The scales the targets are measured against, one per line.
std::string formatScales(const BankSurvey& survey);
/// The count closest pairs of programs in units of the scales (scaledDistance), closest first,
/// with both distances, one per line.
std::string formatNearestPairs(const BankSurvey& survey, std::size_t count);
/// One line per program of slots: its nearest neighbour, both distances, and where they differ
/// most: the harmonic whose levels lie furthest apart and the envelope point that does.
std::string formatNeighbours(const BankSurvey& survey, const std::vector<int>& slots);
/// One line per failure of the given slots and per failure of the bank as a whole.
std::string formatFailures(const BankSurvey& survey, const std::vector<int>& slots);
/// The failures of the given slots and of the bank as a whole.
std::vector<Failure> failuresOf(const BankSurvey& survey, const std::vector<int>& slots);

} // namespace bank_measure
