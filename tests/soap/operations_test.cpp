// The five operations against the simulated device.
#include <string>

#include <gtest/gtest.h>

#include "IxoSoapImpl.h"
#include "SoapTestSupport.h"

namespace {

const uint32_t kMemoryGroup = 0x1000;

// One request of each operation, with "%P" where the port goes.
const char* const kOperations[] = {
    "<Read>%P<indexGroup>1</indexGroup><indexOffset>0</indexOffset><cbLen>1</cbLen></Read>",
    "<Write>%P<indexGroup>1</indexGroup><indexOffset>0</indexOffset><pData>QQ==</pData></Write>",
    "<ReadWrite>%P<indexGroup>1</indexGroup><indexOffset>0</indexOffset><cbRdLen>1</cbRdLen>"
    "</ReadWrite>",
    "<ReadState>%P</ReadState>",
    "<WriteControl>%P<ixoState>1</ixoState><deviceState>1</deviceState></WriteControl>",
};

std::string OnPort(std::string request, const std::string& port)
{
    return request.replace(request.find("%P"), 2, "<nPort>" + port + "</nPort>");
}

std::string Between(const std::string& text, const std::string& open, const std::string& close)
{
    const size_t start = text.find(open);
    const size_t end = text.find(close, start);
    if (start == std::string::npos || end == std::string::npos) {
        return "<no " + open + " in " + text + ">";
    }
    return text.substr(start + open.size(), end - start - open.size());
}

class OperationTest : public GatewayTest {
protected:
    std::string Read(uint32_t group, uint32_t offset, uint32_t length,
                     const std::string& extra = "")
    {
        return Answer("<Read>" + extra + "<nPort>851</nPort><indexGroup>" +
                      std::to_string(group) + "</indexGroup><indexOffset>" +
                      std::to_string(offset) + "</indexOffset><cbLen>" + std::to_string(length) +
                      "</cbLen></Read>");
    }
    // The Base64 text of a Read answer.
    std::string ReadData(uint32_t group, uint32_t offset, uint32_t length,
                         const std::string& extra = "")
    {
        return Between(Read(group, offset, length, extra), "<ppData>", "</ppData>");
    }
    // True when the Write is answered with the Write response.
    bool Write(uint32_t group, uint32_t offset, const std::string& data,
               const std::string& extra = "")
    {
        const std::string answer =
            Answer("<Write>" + extra + "<nPort>851</nPort><indexGroup>" + std::to_string(group) +
                   "</indexGroup><indexOffset>" + std::to_string(offset) + "</indexOffset>" +
                   data + "</Write>");
        return answer.find("<ns1:WriteResponse></ns1:WriteResponse>") != std::string::npos;
    }
    static std::string ErrorCode(const std::string& response)
    {
        return Between(response, "<errorcode xmlns=\"http://korvel.example/KvIxoWebService\">",
                       "</errorcode>");
    }
};

TEST_F(OperationTest, WriteThenReadReturnsTheSameBytes)
{
    const struct { uint32_t offset; const char* data; uint32_t length; } cases[] = {
        {0, "QUJD", 3}, {10, "AAECAwQFBgcICQ==", 10}, {65534, "q80=", 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.data);
        EXPECT_TRUE(Write(kMemoryGroup, c.offset, std::string("<pData>") + c.data + "</pData>"));
        EXPECT_EQ(ReadData(kMemoryGroup, c.offset, c.length), c.data);
    }
    // Without data, or with empty data, nothing is written.
    EXPECT_TRUE(Write(kMemoryGroup, 0, ""));
    EXPECT_TRUE(Write(kMemoryGroup, 0, "<pData></pData>"));
    EXPECT_EQ(ReadData(kMemoryGroup, 0, 3), "QUJD");
}

TEST_F(OperationTest, NetIdSelectsTheDevice)
{
    EXPECT_TRUE(Write(kMemoryGroup, 0, "<pData>QUJD</pData>", "<netId>10.20.30.40.1.1</netId>"));
    EXPECT_EQ(ReadData(kMemoryGroup, 0, 3), "QUJD");
    EXPECT_EQ(ReadData(kMemoryGroup, 0, 3, "<netId>127.0.0.0.1.1</netId>"), "QUJD");
    // A routed net id is another device with its own memory.
    EXPECT_EQ(ReadData(kMemoryGroup, 0, 3, "<netId>10.20.30.41.1.1</netId>"), "AAAA");
    // An unknown net id is the device's failure, not the request's.
    EXPECT_EQ(ErrorCode(Read(kMemoryGroup, 0, 3, "<netId>5.1.2</netId>")),
              std::to_string(KVIXO_SIM_ERR_NO_SUCH_TARGET));
}

TEST_F(OperationTest, ShortReadIsEncodedToTheReportedBytes)
{
    EXPECT_TRUE(Write(KVIXO_SIM_GROUP_HALF_READ, 0, "<pData>QUJDREVGR0g=</pData>"));
    EXPECT_EQ(ReadData(KVIXO_SIM_GROUP_HALF_READ, 0, 7), "QUJD");
    EXPECT_EQ(ReadData(KVIXO_SIM_GROUP_HALF_READ, 0, 8), "QUJDRA==");
    EXPECT_EQ(ReadData(KVIXO_SIM_GROUP_HALF_READ, 0, 1), "");
    EXPECT_EQ(ReadData(kMemoryGroup, 0, 0), "");
}

TEST_F(OperationTest, LibraryCodesBecomeServerFaults)
{
    for (const char* request : kOperations) {
        SCOPED_TRACE(request);
        const std::string answer = Answer(OnPort(request, "65535"));
        EXPECT_EQ(ErrorCode(answer), std::to_string(KVIXO_SIM_ERR_OFFLINE));
        EXPECT_EQ(answer.find("Response>"), std::string::npos);
    }
    EXPECT_EQ(ErrorCode(Read(KVIXO_SIM_GROUP_FAIL_BASE + 42, 0, 4)), "42");
    // A failure leaves nothing behind: the next request is handled afresh.
    EXPECT_EQ(ReadData(kMemoryGroup, 0, 1), "AA==");
}

TEST_F(OperationTest, PortIsOpenedOnceForManyRequests)
{
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(ReadData(kMemoryGroup, 0, 1), "AA==");
    }
    Answer("<ReadState><nPort>851</nPort></ReadState>");
    EXPECT_EQ(KvIxoSimPortOpenCalls(), 1u);
}

TEST_F(OperationTest, FailedOpenAnswers1864AndIsRetried)
{
    // The first five opens fail: one for each operation.
    Configure("KVIXO_SIM_FAIL_OPEN", "5");
    uint32_t calls = 0;
    for (const char* request : kOperations) {
        SCOPED_TRACE(request);
        EXPECT_EQ(ErrorCode(Answer(OnPort(request, "851"))), "1864");
        EXPECT_EQ(KvIxoSimPortOpenCalls(), ++calls);
    }
    EXPECT_EQ(ReadData(kMemoryGroup, 0, 1), "AA==");
    EXPECT_EQ(ReadData(kMemoryGroup, 0, 1), "AA==");
    EXPECT_EQ(KvIxoSimPortOpenCalls(), calls + 1);
}

TEST_F(OperationTest, ReadStateFollowsWriteControl)
{
    const std::string readState = "<ReadState><nPort>851</nPort></ReadState>";
    auto state = [&] {
        return Between(Answer(readState), "<ns1:ReadStateResponse>", "</ns1:ReadStateResponse>");
    };
    EXPECT_EQ(state(), "<pIxoState>1</pIxoState><pDeviceState>0</pDeviceState>");
    const struct { const char *ixoState, *deviceState, *data, *fragment; } cases[] = {
        {"6", "3", "", "<pIxoState>6</pIxoState><pDeviceState>3</pDeviceState>"},
        {"65537", "0x1234", "QUJD", "<pIxoState>1</pIxoState><pDeviceState>4660</pDeviceState>"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fragment);
        Answer(std::string("<WriteControl><nPort>851</nPort><ixoState>") + c.ixoState +
               "</ixoState><deviceState>" + c.deviceState + "</deviceState><pData>" + c.data +
               "</pData></WriteControl>");
        EXPECT_EQ(state(), c.fragment);
    }
}

TEST_F(OperationTest, ReadWriteWritesThenReads)
{
    const std::string readWrite =
        "<ReadWrite><nPort>851</nPort><indexGroup>4096</indexGroup><indexOffset>2</indexOffset>";
    EXPECT_EQ(Between(Answer(readWrite + "<cbRdLen>4</cbRdLen><pwrData>QUJD</pwrData></ReadWrite>"),
                      "<ppRdData>", "</ppRdData>"),
              "QUJDAA==");
    EXPECT_EQ(ReadData(kMemoryGroup, 2, 3), "QUJD");
    EXPECT_NE(Answer(readWrite + "<cbRdLen>0</cbRdLen></ReadWrite>")
                  .find("<ns1:ReadWriteResponse><ppRdData></ppRdData></ns1:ReadWriteResponse>"),
              std::string::npos);
}

// The library reporting more than was asked for must not make the answer read past the buffer.
TEST(ReadCount, ClampedToTheRequestedLength)
{
    const unsigned char data[3] = {0x41, 0x42, 0x43};
    const struct { uint32_t requested, reported; const char* text; } cases[] = {
        {3, 2, "QUI="}, {3, 4, "QUJD"}, {3, 0xFFFFFFFF, "QUJD"}, {0, 5, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reported);
        std::string response = "[";
        EXPECT_EQ(CIxoSoapImpl::AppendEncodedResponse(response, "<a>", "</a>", data, c.requested,
                                                      c.reported),
                  0);
        EXPECT_EQ(response, std::string("[<a>") + c.text + "</a>");
    }
}

}  // namespace
