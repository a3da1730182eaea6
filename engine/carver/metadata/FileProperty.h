#pragma once
// The document information the metadata readers (compound-file summaries,
// Office core properties, PDF document information) fill to name a carved
// document. An empty text means the reader found nothing for that field.
#include <string>

struct FileProperty {
    std::string m_strFirst;      // filled by no reader
    std::string m_strTitle;
    std::string m_strProducer;   // PDF only
    std::string m_strAuthor;     // the document's creator (PDF: the creating program)
    std::string m_strLastAuthor; // last author (PDF: the document's author)
    std::string m_strCreated;
    std::string m_strModified;
    std::string m_strEighth;     // filled by no reader
};
